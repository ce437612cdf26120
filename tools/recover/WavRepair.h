// Repairs a WAV file whose RIFF and data sizes do not match its length, as a recording that
// was killed leaves it: the library's WAV files end with their data chunk, so the PCM runs
// from the data chunk's start to the end of the file (in whole sample frames). Only the two
// size fields change; every other byte stays as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvo::tools {

struct WavLayout {
  std::string problem;  // why the file cannot be repaired; empty when it can
  int formatTag = 0;
  int channels = 0;
  int sampleRate = 0;
  int bitsPerSample = 0;
  int blockAlign = 0;
  size_t dataSizeField = 0;  // offset of the data chunk's size field
  size_t dataStart = 0;      // offset of the first PCM byte
  uint32_t riffSize = 0;     // as the header says
  uint32_t dataSize = 0;
  uint32_t goodRiffSize = 0;  // as the file's length says
  uint32_t goodDataSize = 0;
  bool tooLong = false;  // more PCM than a WAV file's sizes can count: the rest is left out

  bool Complete() const { return riffSize == goodRiffSize && dataSize == goodDataSize; }
  double Seconds() const;
};

// Reads the RIFF header, the format chunk and the data chunk's place.
WavLayout ReadWavLayout(const uint8_t* data, size_t size);

// Whether the bytes begin with a RIFF header of form type WAVE.
bool LooksLikeWav(const uint8_t* data, size_t size);

// Writes the file's bytes up to the end of its PCM, with the right sizes, to `path`.
bool WriteRepairedWav(const uint8_t* data,
                      const WavLayout& layout,
                      const std::string& path,
                      std::string* error);

// Writes the right sizes into the two size fields of the file at `path` itself.
bool RepairWavInPlace(const WavLayout& layout, const std::string& path, std::string* error);

}  // namespace sorvo::tools
