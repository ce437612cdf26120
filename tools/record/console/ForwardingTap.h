// A frame receiver put in the way of pictures or sound: it hands every buffer on to the
// next receiver first (the recording comes first), then looks at it.
//
// Threads: OnBuffer on the thread that delivers (a capture thread); the next receiver
// outlives the tap's use.
#pragma once

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class ForwardingTap : public IGrabberCallBack {
 public:
  // `next` may be null: nothing to hand on.
  explicit ForwardingTap(IGrabberCallBack* next) : m_next(next) {}
  virtual ~ForwardingTap() = default;

  // The next receiver's answer (1 without one).
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) final;

 protected:
  // On the delivering thread, after the next receiver has taken the buffer; must not block.
  virtual void Look(const unsigned char* data,
                    long length,
                    int width,
                    int height,
                    PixelFormat pixelFormat) = 0;

 private:
  IGrabberCallBack* const m_next;
};

}  // namespace sorvo::tools
