// A frame pool whose worker hands each picture to an owner object's frame operation.
#pragma once

#include "host/PixelFormat.h"

// Owner is the object the pictures are for (the recording sink encodes them, the decode
// preview decodes them); Base is the pool, FramePoolLite. The owner constructs the pool with
// itself and the operation to call; both are fixed for the pool's life and read by the
// worker only. The owner keeps the threading contract of Base and stops the pool before it
// is destroyed itself.
template <class Owner, class Base>
class FramePool : public Base {
 public:
  using FrameOperation = int (Owner::*)(int id,
                                        double time,
                                        unsigned char* data,
                                        long length,
                                        int width,
                                        int height,
                                        PixelFormat pixelFormat);

  FramePool(Owner* owner, FrameOperation frame) : m_pOwner(owner), m_pFrame(frame) {}

  // The owner's result, or 0 (the worker ends) when there is no owner to call.
  int OnFrame(int id,
              double time,
              unsigned char* data,
              long length,
              int width,
              int height,
              PixelFormat pixelFormat) override {
    if (m_pOwner == nullptr || m_pFrame == nullptr)
      return 0;
    return (m_pOwner->*m_pFrame)(id, time, data, length, width, height, pixelFormat);
  }

 private:
  Owner* const m_pOwner;  // not owned
  const FrameOperation m_pFrame;
};
