// One encoded packet of the program, shared (read-only) by every destination's queue, and
// the streams' parameters a muxer needs. Made on the encoding thread.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

struct EncodedPacket {
  PacketPtr packet;  // pts and dts in `timeBase`
  AVRational timeBase{1, 1};
  bool video = true;
  bool key = false;     // a video key frame: a destination may start here
  long long gop = 0;    // video: which GOP it belongs to, counted from 1
  double seconds = 0;   // the pts, in seconds on the session's clock
  double duration = 0;  // seconds of program it carries
};
using SharedPacket = std::shared_ptr<const EncodedPacket>;

// The encoders' streams as a muxer takes them. Written once before any destination opens.
struct ProgramStreams {
  CodecParametersPtr video;
  AVRational videoTimeBase{1, 25};
  AVRational frameRate{25, 1};
  CodecParametersPtr audio;  // null without sound
  AVRational audioTimeBase{1, 44100};
};

}  // namespace sorvo::tools
