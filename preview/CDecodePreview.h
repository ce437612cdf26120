// Local preview of a recording sink's own packets: decoded again on a worker thread and drawn
// in a pop-up window.
//
// Threads: the constructor, StartPreview and the destructor run on the sink's control thread
// (its Create and Close); Push on the sink's encoding worker; OnFrame, decoding and
// OnDecodedFrame only on the preview's own worker. The drawer and the decoder are touched by
// the worker alone between StartPreview and the destructor, which stops the worker before it
// closes the decoder and releases the drawer; the frame queue's lock guards the queued
// packets. Packets go through a pool of five buffers, so the encoder never waits for decoding:
// when the preview falls behind, the oldest waiting packet gives way.
#pragma once

#include <memory>

#include "codec/FFDeleters.h"
#include "host/IPopupDrawer.h"
#include "preview/FFDecoder.h"
#include "sink/FramePool.h"
#include "sink/FramePoolLite.h"

class CDecodePreview : public FramePool<CDecodePreview, FramePoolLite>, public FFDecoder {
 public:
  CDecodePreview();
  ~CDecodePreview() override;

  // Opens the window titled `name` followed by " -- 本地解码预览" (at the place set for
  // `name` with SorvoSetPreviewPlacement, if any), opens the decoder and
  // starts the worker "DecodePreview <name>" over five buffers of `itemSize` bytes (the
  // size of one raw picture of the sink). Always 1: without a window nothing is drawn,
  // without a decoder nothing is decoded, without buffers nothing is queued. Only the first
  // call does anything.
  int StartPreview(const char* name, int itemSize);

  // One queued packet: decoded, every picture drawn. Always 1, so that a packet that does
  // not decode never stops the preview.
  int OnFrame(int id,
              double time,
              unsigned char* data,
              long length,
              int width,
              int height,
              PixelFormat pixelFormat) override;
  void OnDecodedFrame(unsigned char* picture, int size) override;

 private:
  struct DrawerRelease {
    void operator()(IPopupDrawer* drawer) const { drawer->Release(); }
  };

  bool m_bStarted = false;
  std::unique_ptr<IPopupDrawer, DrawerRelease> m_pDrawer;
  sorvo::PacketPtr m_pPacket;  // carries a queued packet's bytes to the decoder
};
