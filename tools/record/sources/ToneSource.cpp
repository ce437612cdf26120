#include "tools/record/sources/ToneSource.h"

#include <cmath>
#include <cstring>

#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {

ToneSource::ToneSource() { m_frameRate = kSoundRate / kSoundBufferSamples; }

std::string ToneSource::Describe() const { return "tone 440/660 Hz, stereo 44,100 Hz"; }

bool ToneSource::Next(std::vector<uint8_t>* data, double* due) {
  data->resize(kSoundBufferSamples * kSoundChannels * kSoundBytesPerSample);
  int16_t* samples = reinterpret_cast<int16_t*>(data->data());
  const double amplitude = 8192;
  for (int i = 0; i < kSoundBufferSamples; ++i) {
    const double t = static_cast<double>(m_samples + i) / kSoundRate;
    samples[2 * i] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * kLeftHz * t));
    samples[2 * i + 1] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * kRightHz * t));
  }
  *due = static_cast<double>(m_samples) / kSoundRate;
  m_samples += kSoundBufferSamples;
  return true;
}

}  // namespace sorvo::tools
