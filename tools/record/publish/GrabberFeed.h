// The publisher's tap: passes the buffers of one of the library's frame sources to a
// ProgramInput, after the next receiver in the chain has taken them: the director's fitted
// pictures (YUV 4:2:0), or the session's PCM (interleaved 16-bit, `channels` a frame) on its
// way to the audio sink. Pictures of any other kind are not passed on.
//
// Threads: Look on whichever thread delivers; the input must outlive the feed's use.
#pragma once

#include <memory>

#include "tools/record/ForwardingTap.h"
#include "tools/record/publish/ProgramInput.h"

namespace sorvo::tools {

class GrabberFeed : public ForwardingTap {
 public:
  static std::unique_ptr<GrabberFeed> Pictures(ProgramInput& input, IGrabberCallBack* next) {
    return std::unique_ptr<GrabberFeed>(new GrabberFeed(input, 0, next));
  }
  static std::unique_ptr<GrabberFeed> Sound(ProgramInput& input,
                                            int channels,
                                            IGrabberCallBack* next) {
    return std::unique_ptr<GrabberFeed>(new GrabberFeed(input, channels, next));
  }

 protected:
  void Look(const TapBuffer& buffer) override;

 private:
  GrabberFeed(ProgramInput& input, int channels, IGrabberCallBack* next)
      : ForwardingTap(next), m_input(input), m_channels(channels) {}

  ProgramInput& m_input;
  const int m_channels;  // 0: pictures
};

}  // namespace sorvo::tools
