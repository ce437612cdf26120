// A camera read from a media input (a video file, a V4L2 device, a network stream, any
// input FFmpeg opens): every picture is converted to planar YUV 4:2:0 and delivered at its
// own time. The sink is told the input's frame rate, rounded; an input faster than the
// library's 35 pictures per second is thinned to 35.
#pragma once

#include <atomic>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"
#include "tools/record/sources/DecodedCamera.h"
#include "tools/record/sources/MediaInput.h"

namespace sorvo::tools {

class MediaCamera : public DecodedCamera {
 public:
  // Null with `error` set when the input cannot be opened or has no video. Pictures come
  // as `wanted` says. A `stop` flag, where given, stops it instead of Stop().
  static std::unique_ptr<MediaCamera> Open(const std::string& name,
                                           std::string* error,
                                           const Wanted& wanted = Wanted(),
                                           const std::atomic<bool>* stop = nullptr);

  bool NextDecoded(FramePtr* frame, double* due) override;
  bool live() const override { return m_input.live(); }
  bool timesCounted() const override { return m_input.timesCounted(); }
  std::string Describe() const override;

 private:
  MediaCamera() = default;

  std::string m_name;
  MediaInput m_input;
  FramePtr m_frame{av_frame_alloc()};
  double m_nextSlot = 0;
};

}  // namespace sorvo::tools
