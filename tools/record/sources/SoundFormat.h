// The one PCM format the recorder hands the audio sink, whatever the source: interleaved
// signed 16-bit stereo at 44,100 Hz, in buffers of one MP3 frame.
#pragma once

#include <sorvo/sorvo.h>

namespace sorvo::tools {

constexpr int kSoundRate = 44100;
constexpr int kSoundChannels = 2;
constexpr int kSoundBytesPerSample = 2;
constexpr int kSoundBufferSamples = 1152;

// The wave format record for it, as the audio sink's Create takes it.
tWAVEFORMATEX SoundWaveFormat();

}  // namespace sorvo::tools
