// MPEG-4 Part 2 stream headers (visual object sequence, visual object, video object layer)
// declaring a picture size, as the library's encoder writes them ahead of a key frame.
#pragma once

#include <cstdint>
#include <vector>

namespace sorvo::fuzz {

// The small picture sizes the video decoder target declares: index 0 to 63 picks one of
// eight widths and eight heights from 8 to 106, none of them whole macroblocks but the
// first, so that edges get exercised.
int HeaderWidth(int index);
int HeaderHeight(int index);
constexpr int kHeaderSizes = 64;

// The headers for size `index`, made once by encoding a grey picture of that size.
const std::vector<uint8_t>& StreamHeaders(int index);

}  // namespace sorvo::fuzz
