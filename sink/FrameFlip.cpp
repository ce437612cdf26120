#include "sink/FrameFlip.h"

#include <algorithm>
#include <cstdint>

namespace sorvo {

int BytesPerPixel(int pixelFormat) {
  if (pixelFormat == PIX_FMT_RGB24 || pixelFormat == PIX_FMT_BGR24) return 3;
  if (pixelFormat >= PIX_FMT_ARGB && pixelFormat <= PIX_FMT_BGRA) return 4;
  return 1;
}

void FlipRows(unsigned char* data, long length, int height, int bytesPerPixel, int width) {
  if (data == nullptr || height < 2 || width <= 0 || bytesPerPixel <= 0) return;
  const int64_t row = static_cast<int64_t>(width) * bytesPerPixel;
  if (length < 0 || row * height > length) return;
  for (int i = 0; i < height / 2; ++i) {
    unsigned char* top = data + row * i;
    unsigned char* bottom = data + row * (height - 1 - i);
    std::swap_ranges(top, top + row, bottom);
  }
}

}  // namespace sorvo
