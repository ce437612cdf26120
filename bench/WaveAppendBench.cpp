// What the WAV writer costs an audio sink per buffer: appending PCM through CWaveSave and
// the multimedia file I/O layer, against plain write(2) calls of the same buffers after a
// 44-byte header in a file in the same folder; and what keeping the file readable through a
// kill adds: CWaveSave::Append, which writes the sizes every half second of sound, against
// the plain append of the same buffers to the handle. The ratio of the second pair is
// printed at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RatioReporter.h"
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

// Appends buffers of state.range(0) bytes of 16-bit stereo PCM at 44.1 kHz with `append`.
template <typename Append>
void AppendToWav(benchmark::State& state, Append append) {
  TempFolder folder;
  const std::vector<char> pcm(static_cast<size_t>(state.range(0)), 1);
  const std::string path = folder.File("append.wav");
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  CWaveSave wav;
  wav.Create(path.c_str(), format);
  const long size = static_cast<long>(pcm.size());
  size_t written = 0;
  for (auto _ : state) {
    if (!append(wav, pcm.data(), size)) {
      state.SkipWithError("append failed");
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

// Straight to the handle: the sizes wait for Close.
void BM_WavAppend(benchmark::State& state) {
  AppendToWav(state, [](CWaveSave& wav, const char* pcm, long size) {
    return mmioWrite(wav.GetHandle(), pcm, size) == size;
  });
}

void BM_WavAppendKeptReadable(benchmark::State& state) {
  AppendToWav(state,
              [](CWaveSave& wav, const char* pcm, long size) { return wav.Append(pcm, size); });
}

// One MP3 frame of PCM: 576 mono 16-bit samples, 1,152 stereo ones; and a large buffer.
BENCHMARK(BM_PosixAppend)->Arg(1152)->Arg(4608)->Arg(65536);
BENCHMARK(BM_WavAppend)->Arg(1152)->Arg(4608)->Arg(65536)->Repetitions(5);
BENCHMARK(BM_WavAppendKeptReadable)->Arg(1152)->Arg(4608)->Arg(65536)->Repetitions(5);

}  // namespace

int main(int argc, char** argv) {
  std::vector<sorvo::bench::Ratio> ratios;
  for (const char* size : {"1152", "4608", "65536"})
    ratios.push_back({std::string("BM_WavAppendKeptReadable/") + size,
                      std::string("BM_WavAppend/") + size, 1.1, true});
  return sorvo::bench::RunWithRatios(argc, argv, ratios, /*interleave=*/true);
}
