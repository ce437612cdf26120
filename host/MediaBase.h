// The media base library: FFmpeg start-up and packed-RGB to YUV 4:2:0 conversion.
#pragma once

#include <cstdint>

#include "host/PixelFormat.h"

struct AVFrame;

// Safe to call any number of times from any thread; sets FFmpeg's log level once.
void InitFFmpeg();

// Converts a packed picture (old-numbered format: 2 RGB24, 3 BGR24, 30 BGRA, or any other
// packed format that maps) of width x height into the three YUV 4:2:0 planes that the
// caller laid out in `destination`. Does nothing for a format that does not map. The
// scaler context is reused per thread while the size and format stay the same.
void ConvertRGBToYV420P(unsigned char* source,
                        int width,
                        int height,
                        PixelFormat sourceFormat,
                        AVFrame* destination);

namespace sorvo {
// The same into planes given as pointers and line sizes: a band of rows of a larger
// picture is converted as a picture of its own.
void ConvertPackedToYuv420(const unsigned char* source,
                           int width,
                           int height,
                           PixelFormat sourceFormat,
                           uint8_t* const planes[4],
                           const int linesizes[4]);
}  // namespace sorvo
