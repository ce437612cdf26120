// Reads a WAV file back as a user's tools would: libavformat (stream parameters and every
// packet) and, where python3 is installed, python's wave module.
#pragma once

#include <string>

namespace sorvo::test {

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

}  // namespace sorvo::test
