// One pooled picture buffer of a frame queue and the description of the picture in it.
#pragma once

#include <cstdint>

#include "host/PixelFormat.h"

// The buffer is allocated with the item and freed with it; whoever holds the item (the free
// list, the ready queue, one producer or the worker, never two at once) may touch the buffer
// without a lock. The queue's all-items list owns the item itself.
struct FrameItem2 {
  // The length that marks the stop marker instead of a picture.
  static constexpr int32_t kStopMarker = -123456;

  explicit FrameItem2(int size) : data(new unsigned char[size]), length(size) {}
  ~FrameItem2() { delete[] data; }
  FrameItem2(const FrameItem2&) = delete;
  FrameItem2& operator=(const FrameItem2&) = delete;

  unsigned char* data;
  int32_t length;  // bytes of the picture held, or kStopMarker
  int id = 0;
  double time = 0.0;
  int width = 0;
  int height = 0;
  PixelFormat pixelFormat = PIX_FMT_NONE;
};
