// Reads a WAV file back as a user's tools would: libavformat (stream parameters and every
// packet) and, where python3 is installed, python's wave module.
#pragma once

#include <cstddef>
#include <string>

namespace sorvo::test {

// The header of the library's WAV files: the canonical 44 bytes of RIFF/WAVE with, after
// "WAVE", the 36-byte 'JUNK' chunk that keeps room for RF64's 64-bit sizes.
constexpr size_t kWavHeader = 80;
// That header from the canonical one (RIFF size 36 larger, the chunk inserted).
std::string WithRf64Room(const std::string& canonical);

struct WavReadBack {
  bool opened = false;
  int codecId = 0;  // AVCodecID
  int channels = 0;
  int sampleRate = 0;
  int bitsPerSample = 0;
  int blockAlign = 0;
  std::string pcm;  // every packet's bytes, in order
};

WavReadBack ReadWithLibavformat(const std::string& path);

// "channels sampwidth framerate nframes hex-of-frames", or "error: ..." when the module
// rejects the file; empty when python3 cannot be run.
std::string ReadWithPythonWave(const std::string& path);

// A large WAV file as the command-line tools see it without reading all of it: the sample
// frames and the last `seconds` of PCM (16-bit stereo at 44.1 kHz) by ffmpeg and by sox.
struct WavTail {
  bool read = false;
  std::string format;     // what the reader calls the file
  long long frames = -1;  // sample frames the header promises
  std::string pcm;        // the last `seconds`
};
WavTail ReadTailWithFfmpeg(const std::string& path, double seconds);
// read stays false when sox is not installed.
WavTail ReadTailWithSox(const std::string& path, double seconds);

}  // namespace sorvo::test
