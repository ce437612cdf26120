// Where a camera's feeder puts its pictures: a receiver that takes a copy of each (OnBuffer),
// and, where the recording sink is behind it, a lender of the sink's own queue buffers, so
// that a source writes its picture (draws it, converts a decoded one) straight into the
// buffer the sink encodes, without a copy on the way (ISorvoSink's LendBuffer and
// ReturnBuffer, whose contract holds here).
//
// Threads: the feeder's thread lends and returns; a lender is made before pictures flow and
// outlives the feeder.
#pragma once

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class PictureLender {
 public:
  virtual ~PictureLender() = default;
  // A buffer of `*capacity` bytes to write one picture into; null (capacity 0) when none can
  // be lent: the picture then goes to the receiver's OnBuffer.
  virtual unsigned char* LendBuffer(long* capacity) = 0;
  // Hands a lent buffer back holding a picture of `length` bytes (0: unused); the buffer is
  // not the caller's any more once this is called.
  virtual int ReturnBuffer(unsigned char* buffer,
                           int id,
                           double time,
                           long length,
                           int width,
                           int height,
                           PixelFormat pixelFormat) = 0;
};

// A recording sink as a lender. The sink outlives it.
class SinkLender : public PictureLender {
 public:
  explicit SinkLender(ISorvoSink* sink) : m_sink(sink) {}
  unsigned char* LendBuffer(long* capacity) override { return m_sink->LendBuffer(capacity); }
  int ReturnBuffer(unsigned char* buffer,
                   int id,
                   double time,
                   long length,
                   int width,
                   int height,
                   PixelFormat pixelFormat) override {
    return m_sink->ReturnBuffer(buffer, id, time, length, width, height, pixelFormat);
  }

 private:
  ISorvoSink* const m_sink;
};

// A feeder's destination: `lender` is null where nothing lends (the sound, or a receiver
// with no sink behind it): every buffer is then handed to `receiver` to copy.
struct PictureInput {
  PictureInput(IGrabberCallBack* receiver_, PictureLender* lender_ = nullptr)
      : receiver(receiver_), lender(lender_) {}
  IGrabberCallBack* receiver;
  PictureLender* lender;
};

}  // namespace sorvo::tools
