// Turning a picture upside down in place, as the recording sink does for cameras that
// deliver bottom-up pictures. Pure functions; any thread.
#pragma once

#include "host/PixelFormat.h"

namespace sorvo {

// 3 for packed 24-bit RGB and BGR, 4 for the packed 32-bit formats, 1 for anything else
// (planar formats: the first `height` rows are the luma plane).
int BytesPerPixel(int pixelFormat);

// Swaps row i with row height-1-i for the first `height` rows of width x bytesPerPixel
// bytes; an odd middle row stays. Does nothing when `length` does not cover those rows, so
// that a short buffer is never read or written past its end.
void FlipRows(unsigned char* data, long length, int height, int bytesPerPixel, int width);

}  // namespace sorvo
