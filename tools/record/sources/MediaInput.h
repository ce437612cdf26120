// One stream of a media input opened with libavformat/libavdevice, decoded frame by frame:
// a file (played in a loop), a URL, a capture device, or any input format named before a
// colon ("lavfi:testsrc2", "v4l2:/dev/video0", "alsa:hw:0"). /dev/video* opens as V4L2.
//
// The feeder's thread reads; a stop flag set from any thread breaks a blocking read.
#pragma once

#include <atomic>
#include <string>

#include "tools/common/AvOwners.h"

namespace sorvo::tools {

class MediaInput {
 public:
  // Opens the best stream of `type` in `name` and its decoder; false with `error` set.
  bool Open(const std::string& name, AVMediaType type, const std::atomic<bool>* stop,
            std::string* error);

  // A capture device: read as it delivers, never looped.
  bool live() const { return m_live; }
  AVCodecContext* decoder() const { return m_decoder.get(); }
  // Frames per second the stream declares; 0 when it declares none.
  double declaredRate() const;
  // The input format's name ("mov,mp4,...", "video4linux2,v4l2", ...).
  std::string formatName() const;

  // The next decoded frame and its time in seconds since the input's start; a looped file
  // keeps counting across its loops. False at the end of a live input, on a failure (with
  // `error` set) or when stopped.
  bool NextFrame(AVFrame* frame, double* seconds, std::string* error);

 private:
  bool ReadAndDecode(AVFrame* frame, std::string* error);
  bool Rewind(std::string* error);

  InputOwner m_input;
  CodecContextOwner m_decoder;
  PacketOwner m_packet{av_packet_alloc()};
  int m_stream = -1;
  bool m_live = false;
  bool m_draining = false;
  // Time added to every frame of the current loop, and where the loop's last frame ended.
  double m_loopOffset = 0;
  double m_loopEnd = 0;
  double m_firstTime = -1;
  long long m_framesThisLoop = 0;
};

}  // namespace sorvo::tools
