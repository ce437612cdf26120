#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {

tWAVEFORMATEX SoundWaveFormat() {
  tWAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = kSoundChannels;
  format.nSamplesPerSec = kSoundRate;
  format.wBitsPerSample = 8 * kSoundBytesPerSample;
  format.nBlockAlign = kSoundChannels * kSoundBytesPerSample;
  format.nAvgBytesPerSec = kSoundRate * format.nBlockAlign;
  format.cbSize = 0;
  return format;
}

}  // namespace sorvo::tools
