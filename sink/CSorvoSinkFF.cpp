#include "sink/CSorvoSinkFF.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

CSorvoSinkFF::CSorvoSinkFF() = default;

CSorvoSinkFF::~CSorvoSinkFF() { Close(); }

long CSorvoSinkFF::QueryInterface(const GUID& iid, void** object) {
  return CIUnknownImpl::QueryInterface(iid, object);
}
long CSorvoSinkFF::AddRef() { return CIUnknownImpl::AddRef(); }
long CSorvoSinkFF::Release() { return CIUnknownImpl::Release(); }

int CSorvoSinkFF::Create(const char* name, const char* path, int width, int height,
                         PixelFormat pixelFormat, int frameRate, int bitRate, int id, int port,
                         int preview) {
  (void)port;
  (void)preview;
  if (name == nullptr || path == nullptr) return 0;

  m_streamInfo.width = width;
  m_streamInfo.height = height;
  m_streamInfo.pixelFormat = pixelFormat;
  m_streamInfo.frameRate = frameRate;
  m_streamInfo.bitRate = bitRate;
  m_streamInfo.pictureSize = sorvo::PictureSize(pixelFormat, width, height);
  m_streamInfo.codecId = kStreamInfoCodecMpeg4;
  m_nId = id;
  m_strPath = path;
  m_strName = name;

  if (!FFEncoder::Open(width, height, pixelFormat, frameRate, bitRate, name)) return 0;
  m_streamInfo.gray = pixelFormat == PIX_FMT_GRAY8 ? 1 : 0;
  return 1;
}

int CSorvoSinkFF::Close() {
  FFEncoder::Close();
  return 1;
}

int CSorvoSinkFF::StartRecord() { return 0; }
int CSorvoSinkFF::StopRecord() { return 0; }
int CSorvoSinkFF::OpenRawFile() { return 0; }
int CSorvoSinkFF::CloseRawFile() { return 0; }
int CSorvoSinkFF::StartPrivateStream() { return 0; }
int CSorvoSinkFF::StopPrivateStream() { return 0; }

int CSorvoSinkFF::GetId() { return m_nId; }
int CSorvoSinkFF::GetWidth() { return GetEncoderWidth(); }
int CSorvoSinkFF::GetHeight() { return GetEncoderHeight(); }
PixelFormat CSorvoSinkFF::GetPixelFormat() { return GetInputFormat(); }

int CSorvoSinkFF::SetGrabberCallBack(IGrabberCallBack* callback) {
  CSingleLock hold(m_lock);
  m_pGrabberCallBack.store(callback);
  return 1;
}

int CSorvoSinkFF::SetEncodeDataOutputCB(ISorvoData* callback) {
  m_pDataCallBack.store(callback);
  return 1;
}

std::string CSorvoSinkFF::GetFilePath() { return m_strPath; }
std::string CSorvoSinkFF::GetName() { return m_strName; }
void CSorvoSinkFF::SetFlipVertical(int flip) { m_bFlipVertical.store(flip); }

int CSorvoSinkFF::GetStreamInfo(void* info) {
  if (info != nullptr) std::memcpy(info, &m_streamInfo, sizeof(m_streamInfo));
  return 1;
}

void CSorvoSinkFF::StopTransfer() {}

int CSorvoSinkFF::OnBuffer(int /*id*/, double time, unsigned char* data, long length, int width,
                           int height, PixelFormat pixelFormat) {
  m_streamInfo.framesIn += 1;
  m_streamInfo.bytesIn += sorvo::PictureSize(pixelFormat, width, height);
  if (IGrabberCallBack* target = m_pGrabberCallBack.load())
    target->OnBuffer(m_nId, time, data, length, width, height, pixelFormat);
  return 1;
}

int CSorvoSinkFF::OnEncodeData(int /*id*/, AVPacket* /*packet*/) { return 1; }

int CSorvoSinkFF::OnAccept(ITransferConnection* connection, int /*flag*/) {
  if (connection == nullptr) return 1;
  connection->Setup(0, 0);
  connection->Send(&m_streamInfo, sizeof(m_streamInfo));
  return 1;
}

int CSorvoSinkFF::OnNotify(int /*code*/, void* /*data*/) { return 1; }

int CSorvoSinkFF::EncodeFrame(int id, double time, unsigned char* data, long length, int /*width*/,
                              int /*height*/, PixelFormat /*pixelFormat*/) {
  FFEncoder::Encode(id, time, data, length);
  return 1;
}

int CSorvoSinkFF::AddAudioPacket(AVPacket* /*packet*/) { return 1; }

void CSorvoSinkFF::OnEncode(AVPacket* packet) { m_streamInfo.encodedBytes += packet->size; }
