// Reads back what a synthetic camera of sorvo-record draws in the top left corner of each
// picture: "CAM n" in white and its six-digit picture counter in yellow below, in the 5 x 7
// font scaled to a sixtieth of the picture's height.
#pragma once

#include "common/CodecTestSupport.h"

namespace sorvo::test {

// The counter; -1 when a digit cannot be read.
int DrawnCounter(const Picture& picture);
// The camera's number; -1 when it cannot be read.
int DrawnCamera(const Picture& picture);

}  // namespace sorvo::test
