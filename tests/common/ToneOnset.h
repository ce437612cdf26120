// A sound that starts at a known sample, and the moment a decoded file lets it be heard:
// for lining up the sound of a file with its pictures.
#pragma once

#include <cstdint>
#include <vector>

#include "common/MediaProbe.h"

namespace sorvo::test {

// Interleaved stereo 16-bit PCM at `sampleRate`, samples `first` to `first + samples - 1`
// of a signal that is silent before sample `onset` and from there a 2,205 Hz tone at half
// the full scale (a tenth of the 44.1 kHz rate; it crosses a quarter of the full scale 38
// microseconds after its onset).
std::vector<uint8_t> ToneFrom(int64_t first, int samples, int64_t onset, int sampleRate);

// When the decoded sound of `stream` (kept by ProbeFile) first reaches a quarter of the
// full scale, in the file's seconds; -1 when it never does.
double HeardOnsetSeconds(const ProbedStream& stream);

}  // namespace sorvo::test
