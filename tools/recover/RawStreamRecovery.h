// Recovery of a raw stream file (the encoder's bare MPEG-4 Part 2 stream): the stream is
// cut into pictures at their start codes and each picture goes into the MP4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/recover/Mp4Rebuilder.h"

namespace sorvo::tools {

struct RawStreamRecovery {
  long long pictures = 0;
  // Pieces between start codes that hold no picture (damage, or a stream cut short).
  long long pieces = 0;
  std::string error;  // the parser could not be set up
};

RawStreamRecovery RecoverRawStream(const uint8_t* data, size_t size, Mp4Rebuilder* rebuilder);

// Whether the bytes begin like an MPEG-4 Part 2 stream (a start code of its headers or a
// picture within the first bytes).
bool LooksLikeRawStream(const uint8_t* data, size_t size);

}  // namespace sorvo::tools
