// Turns the session's PCM (interleaved signed 16-bit, in buffers of any length) into the
// frames an audio encoder takes (its sample format, rate and frame size), each stamped in
// samples at the encoder's rate on the session's clock.
//
// The frames follow the PCM's capture times: the first buffer's time places the sound, and
// the samples count on from there while the buffers keep to it. A buffer more than a
// tenth of a second away from where the count puts it (sound lost before it reached the
// publisher, or a source whose clock drifts) places the sound anew: later, leaving a gap;
// earlier, leaving out what would repeat an instant already sent.
//
// One thread at a time.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class SoundFrames {
 public:
  SoundFrames() = default;
  ~SoundFrames();
  SoundFrames(const SoundFrames&) = delete;
  SoundFrames& operator=(const SoundFrames&) = delete;

  // False with `error` when the conversion cannot be set up.
  bool Open(int inRate,
            int channels,
            int outRate,
            AVSampleFormat outFormat,
            int frameSize,
            std::string* error);
  // `frames` sample frames captured from `time` on.
  void Add(double time, const int16_t* samples, int frames);
  // The next whole frame, or null when fewer samples are waiting.
  FramePtr Next();

  // Sound left out or skipped over when the times did not follow the count, in seconds.
  double replacedSeconds() const { return m_replacedSeconds; }

 private:
  // Places the sound so that input captured at `time` is output sample `at`.
  void Place(double time, int64_t at);

  int m_inRate = 0;
  int m_outRate = 0;
  int m_channels = 0;
  AVSampleFormat m_outFormat = AV_SAMPLE_FMT_NONE;
  int m_frameSize = 0;
  ResamplerPtr m_resampler;
  AVAudioFifo* m_fifo = nullptr;
  FramePtr m_converted;  // scratch for one buffer's converted samples
  bool m_placed = false;
  double m_placedTime = 0;   // capture time of the input counted from
  int64_t m_inSince = 0;     // input samples since then
  int64_t m_fifoStart = 0;   // output sample number of the fifo's first sample
  int64_t m_emittedEnd = 0;  // output sample number after the last frame handed out
  double m_replacedSeconds = 0;
};

}  // namespace sorvo::tools
