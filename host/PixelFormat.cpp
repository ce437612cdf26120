#include "host/PixelFormat.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

namespace sorvo {

int ToAVPixelFormat(int pixelFormat) {
  // Old 0 to 14 are unchanged; 15 and 16 were dropped; 17 to 30 moved down by two.
  if (pixelFormat >= 0 && pixelFormat <= 14)
    return pixelFormat;
  if (pixelFormat >= 17 && pixelFormat <= 30)
    return pixelFormat - 2;
  return AV_PIX_FMT_NONE;
}

int FromAVPixelFormat(int avPixelFormat) {
  if (avPixelFormat >= 0 && avPixelFormat <= 14)
    return avPixelFormat;
  if (avPixelFormat >= 15 && avPixelFormat <= 28)
    return avPixelFormat + 2;
  return PIX_FMT_NONE;
}

bool IsPackedRgb(int pixelFormat) {
  switch (pixelFormat) {
    case PIX_FMT_RGB24:
    case PIX_FMT_BGR24:
    case PIX_FMT_ARGB:
    case PIX_FMT_RGBA:
    case PIX_FMT_ABGR:
    case PIX_FMT_BGRA:
      return true;
    default:
      return false;
  }
}

}  // namespace sorvo

int SorvoPictureSize(int pixelFormat, int width, int height) {
  int av = sorvo::ToAVPixelFormat(pixelFormat);
  if (av == AV_PIX_FMT_NONE || width <= 0 || height <= 0)
    return 0;
  int size = av_image_get_buffer_size(static_cast<AVPixelFormat>(av), width, height, 1);
  return size > 0 ? size : 0;
}
