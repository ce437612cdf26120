// The pixel formats that cross the module's interface keep the numbering of the old
// FFmpeg generation (libavutil 50). They are mapped to FFmpeg 5.1's AVPixelFormat exactly
// once, here, at the FFmpeg boundary.
#pragma once

#include "host/SorvoExport.h"

enum PixelFormat {
  PIX_FMT_NONE = -1,
  PIX_FMT_YUV420P = 0,
  PIX_FMT_RGB24 = 2,
  PIX_FMT_BGR24 = 3,
  PIX_FMT_GRAY8 = 8,
  PIX_FMT_ARGB = 27,
  PIX_FMT_RGBA = 28,
  PIX_FMT_ABGR = 29,
  PIX_FMT_BGRA = 30,
};

// Bytes of one picture of (format, width, height), packed with alignment 1; 0 for a
// format that does not map or a size FFmpeg refuses.
SORVO_EXPORT int SorvoPictureSize(int pixelFormat, int width, int height);

namespace sorvo {
// FFmpeg 5.1's AVPixelFormat value for an old-numbered format; -1 (AV_PIX_FMT_NONE) for
// one that has no equivalent (15, 16, anything above 30 or below 0).
int ToAVPixelFormat(int pixelFormat);
// The inverse, for the formats that have an old number; -1 otherwise.
int FromAVPixelFormat(int avPixelFormat);
// The packed RGB layouts, 24 and 32 bits in every channel order a camera delivers: the
// formats converted to YUV 4:2:0 before they are encoded.
bool IsPackedRgb(int pixelFormat);
inline int PictureSize(int pixelFormat, int width, int height) {
  return SorvoPictureSize(pixelFormat, width, height);
}
}  // namespace sorvo
