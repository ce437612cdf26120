// A frame receiver put in the way of pictures or sound: it hands every buffer on to the
// next receiver first (the recording comes first), then looks at it. Taps chain, so that
// one source feeds the recording, the publisher and the console in that order: the sound
// feeder's receiver is the console's meter, whose next is the publisher's feed, whose next
// is the audio sink; the director sink's one grabber target is the console's program tap,
// whose next is the publisher's feed.
//
// Threads: OnBuffer on the thread that delivers (a capture thread); the chain is made
// before buffers flow and stays, and the next receiver outlives the tap's use.
#pragma once

#include <sorvo/sorvo.h>

namespace sorvo::tools {

// One buffer as a tap sees it: a picture of `width` x `height` in `pixelFormat`, or PCM.
struct TapBuffer {
  double time = 0;  // capture time on the session's clock
  const unsigned char* data = nullptr;
  long length = 0;
  int width = 0;
  int height = 0;
  PixelFormat pixelFormat = PIX_FMT_NONE;
};

class ForwardingTap : public IGrabberCallBack {
 public:
  // `next` may be null: nothing to hand on.
  explicit ForwardingTap(IGrabberCallBack* next) : m_next(next) {}
  virtual ~ForwardingTap() = default;
  ForwardingTap(const ForwardingTap&) = delete;
  ForwardingTap& operator=(const ForwardingTap&) = delete;

  // The next receiver's answer (1 without one).
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) final {
    const int taken = m_next != nullptr
                          ? m_next->OnBuffer(id, time, data, length, width, height, pixelFormat)
                          : 1;
    if (data != nullptr && length > 0)
      Look({time, data, length, width, height, pixelFormat});
    return taken;
  }

 protected:
  // On the delivering thread, after the next receiver has taken the buffer. Must not block.
  virtual void Look(const TapBuffer& buffer) = 0;

 private:
  IGrabberCallBack* const m_next;
};

}  // namespace sorvo::tools
