// Reads back what the recorder's test cameras draw into their pictures.
#pragma once

#include "common/CodecTestSupport.h"

namespace sorvo::test {

// The counter a synthetic camera draws in yellow under its name, read back from a decoded
// picture: six digits in the 5 x 7 font, scaled to a sixtieth of the height. -1 when a
// digit cannot be read.
int DrawnCounter(const Picture& picture);

}  // namespace sorvo::test
