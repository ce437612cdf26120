// Repairs a WAV file whose sizes do not match its length, as a recording that was killed
// leaves it: the library's WAV files end with their data chunk, so the PCM runs from the
// data chunk's start to the end of the file (in whole sample frames). Only the size fields
// change; every other byte stays as it is.
//
// RF64 files (EBU Tech 3306) keep their sizes in 64 bits in a 'ds64' chunk, the 32-bit
// fields reading 0xFFFFFFFF. A RIFF file whose PCM runs past what its 32-bit sizes count (a
// recording killed as it passed 4 GiB) becomes RF64 when it keeps room for that chunk, as
// the library's files do (a 28-byte 'JUNK' chunk first); without room, the PCM the sizes
// can count is kept.
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
  bool rf64 = false;         // the file says RF64: its sizes are in 'ds64'
  size_t wideSizes = 0;      // offset of the 64-bit sizes ('ds64' payload or room for it)
  size_t dataSizeField = 0;  // offset of the data chunk's size field
  size_t dataStart = 0;      // offset of the first PCM byte
  uint64_t riffSize = 0;     // as the header says
  uint64_t dataSize = 0;
  uint64_t goodRiffSize = 0;  // as the file's length says
  uint64_t goodDataSize = 0;
  bool becomesRf64 = false;  // a RIFF file whose PCM needs RF64's sizes, and has room
  bool tooLong = false;      // more PCM than a RIFF file's sizes can count: the rest is left out

  bool Complete() const {
    return !becomesRf64 && riffSize == goodRiffSize && dataSize == goodDataSize;
  }
  double Seconds() const;
};

// Reads the RIFF or RF64 header, the format chunk and the data chunk's place; a format chunk
// that describes no sound a recorder makes (a rate below 1,000 Hz, a sample width that is not
// 8, 16, 24, 32 or 64 bits, a block size that does not match) is a problem, and so is a file
// without a whole sample frame of PCM.
WavLayout ReadWavLayout(const uint8_t* data, size_t size);

// Whether the bytes begin with a RIFF or RF64 header of form type WAVE.
bool LooksLikeWav(const uint8_t* data, size_t size);

// Writes the file's bytes up to the end of its PCM, with the right sizes, to `path`.
bool WriteRepairedWav(const uint8_t* data,
                      const WavLayout& layout,
                      const std::string& path,
                      std::string* error);

// Writes the right sizes into the size fields of the file at `path` itself.
bool RepairWavInPlace(const WavLayout& layout, const std::string& path, std::string* error);

}  // namespace sorvo::tools
