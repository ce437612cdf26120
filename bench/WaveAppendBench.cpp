// What the WAV writer costs an audio sink per buffer: appending PCM through CWaveSave and
// the multimedia file I/O layer, against plain write(2) calls of the same buffers after a
// 44-byte header in a file in the same folder (the baseline). Compare the two rows'
// bytes_per_second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "audio/CWaveSave.h"

namespace {

// Files restart at this size so that a long run does not fill the disk.
constexpr size_t kRestartBytes = 32 << 20;
// PCM starts after the header, off the page grid, in both files.
const char kHeader[44] = {};

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/sorvo-bench-XXXXXX";
    m_path = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!m_path.empty())
      std::filesystem::remove_all(m_path, ignored);
  }
  std::string File(const char* name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

void BM_PosixAppend(benchmark::State& state) {
  TempFolder folder;
  const std::vector<char> pcm(static_cast<size_t>(state.range(0)), 1);
  const std::string path = folder.File("baseline.raw");
  int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
  if (::write(fd, kHeader, sizeof kHeader) != sizeof kHeader)
    state.SkipWithError("header");
  size_t written = 0;
  for (auto _ : state) {
    if (::write(fd, pcm.data(), pcm.size()) != static_cast<ssize_t>(pcm.size())) {
      state.SkipWithError("write failed");
      break;
    }
    written += pcm.size();
    if (written >= kRestartBytes) {
      state.PauseTiming();
      if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 ||
          ::write(fd, kHeader, sizeof kHeader) != sizeof kHeader)
        state.SkipWithError("reset");
      written = 0;
      state.ResumeTiming();
    }
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_WavAppend(benchmark::State& state) {
  TempFolder folder;
  const std::vector<char> pcm(static_cast<size_t>(state.range(0)), 1);
  const std::string path = folder.File("append.wav");
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  CWaveSave wav;
  wav.Create(path.c_str(), format);
  const long size = static_cast<long>(pcm.size());
  size_t written = 0;
  for (auto _ : state) {
    if (mmioWrite(wav.GetHandle(), pcm.data(), size) != size) {
      state.SkipWithError("mmioWrite failed");
      break;
    }
    written += pcm.size();
    if (written >= kRestartBytes) {
      state.PauseTiming();
      wav.Close(0);
      wav.Create(path.c_str(), format);
      written = 0;
      state.ResumeTiming();
    }
  }
  wav.Close(0);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// One MP3 frame of PCM: 576 mono 16-bit samples, 1,152 stereo ones; and a large buffer.
BENCHMARK(BM_PosixAppend)->Arg(1152)->Arg(4608)->Arg(65536);
BENCHMARK(BM_WavAppend)->Arg(1152)->Arg(4608)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
