// The picture size and frame rate an MPEG-4 Part 2 stream declares in its headers, found
// by decoding one key frame that carries them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::tools {

struct Mpeg4Parameters {
  int width = 0;
  int height = 0;
  int frameRate = 0;  // 0 when the headers declare none
};

// False when the packet does not decode to a picture.
bool ProbeMpeg4KeyFrame(const uint8_t* data, size_t size, Mpeg4Parameters* parameters);

}  // namespace sorvo::tools
