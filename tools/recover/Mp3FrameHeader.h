// The 4-byte header of an MPEG audio Layer III frame (what the library's MP3 encoder
// writes): enough to know a frame's length and format without decoding it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::tools {

struct Mp3FrameHeader {
  int version = 0;  // 1 for MPEG-1, 2 for MPEG-2, 25 for MPEG-2.5
  int sampleRate = 0;
  int channels = 0;
  int samples = 0;    // per channel in the frame
  size_t length = 0;  // bytes of the whole frame, header included

  // Whether a frame of `other` can follow one of this header in the same stream.
  bool SameStream(const Mp3FrameHeader& other) const;
};

// Reads the header at `data` (at least 4 bytes). False for anything but a valid Layer III
// header with a known bit rate (free-format frames have no length in their header).
bool ParseMp3FrameHeader(const uint8_t* data, size_t size, Mp3FrameHeader* header);

}  // namespace sorvo::tools
