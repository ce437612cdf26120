// What a publisher takes: the program's pictures and the session's sound, each stamped with
// its capture time in seconds on the session's one clock.
//
// Threads: OnPicture on the thread that makes the program's pictures, OnSound on the
// sound's; both may run at once. Neither may block: an implementation copies and returns.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvo::tools {

class ProgramInput {
 public:
  virtual ~ProgramInput() = default;

  // A YUV 4:2:0 picture of width x height, planes packed one after another without
  // padding (alignment 1), as the library's director hands them on.
  virtual void OnPicture(double time,
                         const uint8_t* data,
                         size_t length,
                         int width,
                         int height) = 0;
  // `frames` sample frames of interleaved signed 16-bit PCM.
  virtual void OnSound(double time, const int16_t* samples, int frames) = 0;
};

}  // namespace sorvo::tools
