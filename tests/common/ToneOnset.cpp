#include "common/ToneOnset.h"

#include <cmath>
#include <cstring>

namespace sorvo::test {

std::vector<uint8_t> ToneFrom(int64_t first, int samples, int64_t onset, int sampleRate) {
  std::vector<int16_t> pcm(static_cast<size_t>(samples) * 2, 0);
  for (int i = 0; i < samples; ++i) {
    const int64_t n = first + i - onset;
    if (n >= 0)
      pcm[2 * i] = pcm[2 * i + 1] =
          static_cast<int16_t>(16384 * std::sin(2 * M_PI * 2205.0 * n / sampleRate));
  }
  std::vector<uint8_t> bytes(pcm.size() * 2);
  std::memcpy(bytes.data(), pcm.data(), bytes.size());
  return bytes;
}

double HeardOnsetSeconds(const ProbedStream& stream) {
  for (size_t i = 0; i < stream.sound.size(); ++i)
    if (std::fabs(stream.sound[i]) > 0.25)
      return stream.soundStartSeconds + static_cast<double>(i) / stream.sampleRate;
  return -1;
}

}  // namespace sorvo::test
