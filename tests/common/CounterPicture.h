// Pictures that carry a camera number and a counter in large blocks of black and white, so
// that a test can tell from a decoded picture which camera's which picture it shows.
#pragma once

#include <cstdint>
#include <vector>

#include "common/CodecTestSupport.h"

namespace sorvo::test {

// Size of one block, in pixels; a picture needs 8 blocks across and 3 down.
constexpr int kCounterBlock = 16;

// A YUV 4:2:0 picture (planes packed, alignment 1) of at least 128 x 48 pixels: the
// counter's 16 bits in two rows of blocks, the camera's 4 bits in a third, grey around.
std::vector<uint8_t> CounterPicture(int width, int height, int camera, int counter);

struct CounterMark {
  bool readable = false;
  int camera = -1;
  int counter = -1;
};
// What a decoded CounterPicture shows.
CounterMark ReadCounter(const Picture& picture);

}  // namespace sorvo::test
