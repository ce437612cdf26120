// The few fields of MPEG-4 Part 2 headers a program needs to place a picture in time and
// to tell which stream it belongs to without decoding it: the video object layer's picture
// size and time resolution, the time code of a group of VOPs, and each picture's coding
// type and time. Every reader stops at the end of the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

struct Mpeg4Vol {
  int width = 0;
  int height = 0;
  int timeResolution = 0;  // vop_time_increment_resolution: time ticks per second
  int fixedIncrement = 0;  // ticks per picture when the layer declares a fixed rate, else 0
  int incrementBits = 0;   // width of a picture's vop_time_increment

  // Pictures per second the layer declares: the resolution over the fixed increment, or
  // the resolution itself when it declares no fixed rate (one tick per picture, as
  // libavcodec's encoder counts).
  double DeclaredRate() const;
};

// Reads the first video object layer header (start code 00 00 01 20 to 2F) in the bytes.
// False when there is none, or it uses a shape or layout this reader does not follow.
bool ParseMpeg4Vol(const uint8_t* data, size_t size, Mpeg4Vol* vol);

struct Mpeg4PictureTime {
  Mpeg4PictureType type = Mpeg4PictureType::kNone;
  // Seconds of the group of VOPs header ahead of the picture in these bytes, or -1.
  int groupSeconds = -1;
  // Whole seconds since the previous picture's second (or since the group's time code).
  int moduloSeconds = 0;
  int increment = 0;  // ticks within that second
};

// Reads the first picture header (and a group header ahead of it) in the bytes, with the
// layer `vol` it belongs to. False when there is no picture or its header is cut short.
bool ParseMpeg4PictureTime(const uint8_t* data,
                           size_t size,
                           const Mpeg4Vol& vol,
                           Mpeg4PictureTime* time);

// A stream's running picture time, in ticks of its layer's resolution, carried from picture
// to picture the way a decoder carries it: a picture's seconds count from the previous
// picture's, or from its group's time code (which wraps after 24 hours). One thread.
class Mpeg4Clock {
 public:
  explicit Mpeg4Clock(int timeResolution) : m_resolution(timeResolution) {}

  // The time the picture has when it follows the pictures taken so far.
  int64_t TimeOf(const Mpeg4PictureTime& picture) const;
  // Takes the picture as the stream's latest.
  void Take(const Mpeg4PictureTime& picture);
  // Takes a picture whose own time was not believed as the latest, at `time` instead.
  void TakeAt(int64_t time);

 private:
  int64_t SecondsOf(const Mpeg4PictureTime& picture) const;

  int64_t m_resolution;
  int64_t m_seconds = 0;  // the latest picture's whole seconds
};

}  // namespace sorvo::tools
