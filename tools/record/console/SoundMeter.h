// The sound's level meter: the peak and the RMS of each channel of the interleaved signed
// 16-bit PCM that passes on its way to the audio sink, over the time since the last
// reading.
//
// Threads: Look on the sound's feeder thread, which never waits here (the sums are
// atomics); TakeLevels on one reading thread. A buffer that arrives while a reading is
// taken may be split between two readings.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "tools/record/ForwardingTap.h"

namespace sorvo::tools {

struct ChannelLevel {
  double peakDb = 0;  // dB below full scale; kSilenceDb for nothing
  double rmsDb = 0;
};

class SoundMeter : public ForwardingTap {
 public:
  static constexpr int kMaxChannels = 8;
  static constexpr double kSilenceDb = -100;

  // Hands every buffer on to `next` (may be null) first.
  SoundMeter(IGrabberCallBack* next, int channels);

  // The levels since the last call, and starts anew; empty when no sound came.
  std::vector<ChannelLevel> TakeLevels();
  int channels() const { return m_channels; }

 protected:
  void Look(const TapBuffer& buffer) override;

 private:
  struct Channel {
    std::atomic<int> peak{0};
    std::atomic<uint64_t> sumOfSquares{0};
  };
  const int m_channels;
  std::array<Channel, kMaxChannels> m_levels;
  std::atomic<uint64_t> m_frames{0};
};

}  // namespace sorvo::tools
