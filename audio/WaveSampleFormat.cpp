#include "audio/WaveSampleFormat.h"

namespace sorvo {

bool IsFloatWave(const WAVEFORMATEX& format) {
  return format.wFormatTag == kWaveFormatIeeeFloat &&
         (format.wBitsPerSample == 32 || format.wBitsPerSample == 64);
}

std::optional<FFAudioEncoder::SampleLayout> EncoderInputOf(const WAVEFORMATEX& format) {
  using Layout = FFAudioEncoder::SampleLayout;
  if (IsFloatWave(format))
    return format.wBitsPerSample == 32 ? Layout::kF32 : Layout::kF64;
  switch ((format.wBitsPerSample + 7) / 8) {
    case 1:
      return Layout::kU8;
    case 2:
      return Layout::kS16;
    case 3:
      return Layout::kS24;
    case 4:
      return Layout::kS32;
    default:
      return std::nullopt;
  }
}

}  // namespace sorvo
