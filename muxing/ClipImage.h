// Cutting margins off a packed picture.
#pragma once

#include "host/SorvoExport.h"

// Copies the inner part of a width x height packed picture of `channels` bytes per pixel
// (1 to 4), without `left`, `top`, `right` and `bottom` pixels at its edges, into
// `destination`. Both pictures have rows padded to a multiple of 4 bytes: the source rows
// are channels x width bytes rounded up, the destination rows channels x (width - left -
// right) rounded up; padding bytes of the destination are not written. A negative margin,
// margins that leave no inner picture, a null buffer, a non-positive size or a channel
// count out of range leave the destination untouched.
SORVO_EXPORT void ClipImage(unsigned char* source,
                            unsigned char* destination,
                            int width,
                            int height,
                            int left,
                            int top,
                            int right,
                            int bottom,
                            int channels);
