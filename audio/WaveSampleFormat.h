// How the host's wave format record lays out one sample, for the WAV header and the MP3
// encoder alike. Only the IEEE float tag (3) with 32- or 64-bit samples means floating
// point; every other record is read as integer PCM, whatever its tag, in whole bytes per
// sample: up to 8 bits unsigned, 9 to 32 bits signed little-endian with the valid bits at
// the top (as RIFF/WAVE stores them).
#pragma once

#include <cstdint>
#include <optional>

#include "codec/FFAudioEncoder.h"
#include "host/Win32Types.h"

namespace sorvo {

constexpr uint16_t kWaveFormatIeeeFloat = 3;

// True for floating-point samples.
bool IsFloatWave(const WAVEFORMATEX& format);
// The encoder's name for the record's samples; empty for samples it cannot take (no bits,
// integers wider than 32 bits).
std::optional<FFAudioEncoder::SampleLayout> EncoderInputOf(const WAVEFORMATEX& format);

}  // namespace sorvo
