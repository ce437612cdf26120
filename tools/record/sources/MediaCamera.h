// A camera read from a media input (a video file, a V4L2 device, any input FFmpeg opens):
// every picture is converted to planar YUV 4:2:0 at the input's own size and delivered at
// its own time. The sink is told the input's frame rate, rounded; an input faster than
// the library's 35 pictures per second is thinned to 35.
#pragma once

#include <memory>

#include "tools/common/AvOwners.h"
#include "tools/record/sources/MediaInput.h"
#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class MediaCamera : public MediaSource {
 public:
  // Null with `error` set when the input cannot be opened or has no video.
  static std::unique_ptr<MediaCamera> Open(const std::string& name, std::string* error);

  bool Next(std::vector<uint8_t>* data, double* due) override;
  bool live() const override { return m_input.live(); }
  std::string Describe() const override;

 private:
  MediaCamera() = default;

  std::string m_name;
  MediaInput m_input;
  FrameOwner m_frame{av_frame_alloc()};
  ScalerOwner m_scaler;
  double m_nextSlot = 0;
};

}  // namespace sorvo::tools
