// Sound read from a media input (a file, played in a loop, "alsa:DEVICE" or a network
// stream), resampled to the recorder's PCM format and cut into its buffers.
#pragma once

#include <atomic>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"
#include "tools/record/sources/MediaInput.h"
#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class MediaSound : public MediaSource {
 public:
  // Null with `error` set when the input cannot be opened or has no audio. A `stop` flag,
  // where given, stops it instead of Stop(); `knownFormat` as MediaInput::Open takes it.
  static std::unique_ptr<MediaSound> Open(const std::string& name,
                                          std::string* error,
                                          const std::atomic<bool>* stop = nullptr,
                                          bool knownFormat = false);

  bool Next(std::vector<uint8_t>* data, double* due) override;
  bool live() const override { return m_input.live(); }
  std::string Describe() const override;

 private:
  MediaSound() = default;
  bool Convert(const AVFrame* frame);

  std::string m_description;
  MediaInput m_input;
  FramePtr m_frame{av_frame_alloc()};
  ResamplerPtr m_resampler;
  std::vector<uint8_t> m_pending;  // converted PCM not handed out yet
  long long m_samplesOut = 0;
};

}  // namespace sorvo::tools
