// Passes one of the library's frame receivers' buffers to a ProgramInput: the director's
// fitted pictures (YUV 4:2:0), or the session's PCM (interleaved 16-bit, `channels` a
// frame). Buffers of any other kind are not passed on.
//
// Threads: OnBuffer on whichever thread delivers; the input must outlive the feed's use.
#pragma once

#include <sorvo/sorvo.h>

#include "tools/record/publish/ProgramInput.h"

namespace sorvo::tools {

class GrabberFeed : public IGrabberCallBack {
 public:
  static GrabberFeed Pictures(ProgramInput& input) { return GrabberFeed(input, 0); }
  static GrabberFeed Sound(ProgramInput& input, int channels) {
    return GrabberFeed(input, channels);
  }

  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override;

 private:
  GrabberFeed(ProgramInput& input, int channels) : m_input(input), m_channels(channels) {}

  ProgramInput& m_input;
  const int m_channels;  // 0: pictures
};

}  // namespace sorvo::tools
