#include "tools/record/console/SoundMeter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sorvo::tools {
namespace {

double Decibels(double ratio) {
  return ratio > 0 ? std::max(SoundMeter::kSilenceDb, 20 * std::log10(ratio))
                   : SoundMeter::kSilenceDb;
}

}  // namespace

SoundMeter::SoundMeter(IGrabberCallBack* next, int channels)
    : ForwardingTap(next), m_channels(std::clamp(channels, 1, kMaxChannels)) {}

void SoundMeter::Look(const TapBuffer& buffer) {
  const long frames = buffer.length / static_cast<long>(sizeof(int16_t) * m_channels);
  for (int c = 0; c < m_channels; ++c) {
    int peak = 0;
    uint64_t sum = 0;
    for (long f = 0; f < frames; ++f) {
      int16_t sample;
      std::memcpy(&sample, buffer.data + (f * m_channels + c) * sizeof(int16_t), sizeof(sample));
      const int magnitude = std::abs(static_cast<int>(sample));
      peak = std::max(peak, magnitude);
      sum += static_cast<uint64_t>(magnitude) * static_cast<uint64_t>(magnitude);
    }
    Channel& channel = m_levels[c];
    int seen = channel.peak.load(std::memory_order_relaxed);
    while (peak > seen && !channel.peak.compare_exchange_weak(seen, peak)) {
    }
    channel.sumOfSquares.fetch_add(sum, std::memory_order_relaxed);
  }
  m_frames.fetch_add(static_cast<uint64_t>(frames), std::memory_order_relaxed);
}

std::vector<ChannelLevel> SoundMeter::TakeLevels() {
  const uint64_t frames = m_frames.exchange(0);
  std::vector<ChannelLevel> levels;
  if (frames == 0)
    return levels;
  for (int c = 0; c < m_channels; ++c) {
    const int peak = m_levels[c].peak.exchange(0);
    const uint64_t sum = m_levels[c].sumOfSquares.exchange(0);
    ChannelLevel level;
    level.peakDb = Decibels(peak / 32768.0);
    level.rmsDb = Decibels(std::sqrt(static_cast<double>(sum) / frames) / 32768.0);
    levels.push_back(level);
  }
  return levels;
}

}  // namespace sorvo::tools
