#include "preview/CDecodePreview.h"

#include <string>

#include "host/PopupDrawer.h"
#include "preview/PreviewPlacement.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

CDecodePreview::CDecodePreview()
    : FramePool<CDecodePreview, FramePoolLite>(this, &CDecodePreview::OnFrame),
      m_pPacket(av_packet_alloc()) {}

CDecodePreview::~CDecodePreview() {
  StopPool();  // nothing to stop when StartPreview never set the pool up
  Close();
  m_pDrawer.reset();
}

int CDecodePreview::StartPreview(const char* name, int itemSize) {
  if (m_bStarted)
    return 1;
  m_bStarted = true;
  const std::string stream = name != nullptr ? name : "";

  const std::string title = stream + " -- 本地解码预览";
  const sorvo::PreviewPlace place = sorvo::PreviewPlaceOf(stream);
  IPopupDrawer* drawer = nullptr;
  sorvo::CreatePopupDrawerWithin(title.c_str(), &drawer, place.x, place.y, place.width,
                                 place.height);
  m_pDrawer.reset(drawer);

  Open();

  if (Init(itemSize))
    StartWorker("DecodePreview " + stream);
  return 1;
}

int CDecodePreview::OnFrame(int /*id*/,
                            double /*time*/,
                            unsigned char* data,
                            long length,
                            int /*width*/,
                            int /*height*/,
                            PixelFormat /*pixelFormat*/) {
  if (!m_pPacket)
    return 1;
  m_pPacket->data = data;
  m_pPacket->size = static_cast<int>(length);  // at most the item size, an int
  DecodePacket(m_pPacket.get());
  m_pPacket->data = nullptr;
  m_pPacket->size = 0;
  return 1;
}

void CDecodePreview::OnDecodedFrame(unsigned char* picture, int size) {
  if (!m_pDrawer)
    return;
  m_pDrawer->Draw(GetThreadName().c_str(), 0.0, picture, size, GetWidth(), GetHeight(),
                  GetOutputFormat(), 0, 0);
}
