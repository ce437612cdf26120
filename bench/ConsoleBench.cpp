// The recorder's console: what its thumbnails cost while a page watches, and what its taps
// cost while none does, each against one percent of a core (10 ms of the benchmarking
// thread's CPU time), so that the ratio reads as the share of a core in percent.
//
// One iteration is one second of a session: each camera delivers 25 pictures through its
// tap; while watched, four of them a second are copied and made into thumbnails (all on the
// benchmarking thread here; in the recorder the copy runs on the capture thread and the
// rest on the console's worker). While a page shows the program live, every one of the
// program's pictures is.
#include <benchmark/benchmark.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "RatioReporter.h"
#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/JpegThumbnailer.h"
#include "tools/record/console/PictureTap.h"
#include "tools/record/console/ThumbnailSlot.h"
#include "tools/record/sources/SyntheticCamera.h"

namespace {

using namespace sorvo::tools;
using Clock = std::chrono::steady_clock;
constexpr int kFramesPerSecond = 25;
constexpr auto kThumbnailPeriod = std::chrono::milliseconds(250);  // the console's default

// The recorder's three default cameras, and its default director.
struct Source {
  int width;
  int height;
  PixelFormat format;
  bool program;
};
const Source kCameras[] = {{1280, 720, PIX_FMT_BGR24, false},
                           {640, 480, PIX_FMT_BGR24, false},
                           {800, 600, PIX_FMT_YUV420P, false}};
const Source kProgram = {1280, 720, PIX_FMT_YUV420P, true};

class Sink : public IGrabberCallBack {
 public:
  int OnBuffer(int, double, unsigned char* data, long, int, int, PixelFormat) override {
    benchmark::DoNotOptimize(data);
    return 1;
  }
};

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// One camera's pictures, a tap, and (while watched) the making of its thumbnails.
struct Tile {
  explicit Tile(const Source& source, bool noise)
      : source(source),
        slot(kThumbnailPeriod),
        maker(source.program ? 640 : 320, source.program ? 360 : 240),
        tap(
            &slot,
            source.program ? nullptr : &sink,
            nullptr,
            [this] { return now; },
            [] {},
            [] {}) {
    SyntheticCamera camera(0, source.width, source.height, source.format, kFramesPerSecond);
    for (int i = 0; i < kFramesPerSecond; ++i) {
      pictures.emplace_back();
      camera.Draw(i, &pictures.back());
      if (noise) {
        std::mt19937 random(i);
        for (uint8_t& byte : pictures.back())
          byte = static_cast<uint8_t>(random());
      }
    }
  }

  // One second of pictures; the thumbnails of those copied.
  void OneSecond() {
    for (std::vector<uint8_t>& picture : pictures) {
      now += std::chrono::milliseconds(1000 / kFramesPerSecond);
      tap.OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), source.width,
                   source.height, source.format);
      if (slot.Take(&taken)) {
        std::string error;
        if (!maker.Make(taken, &jpeg, &error))
          return;
        ++thumbnails;
      }
    }
  }

  Source source;
  Sink sink;
  ThumbnailSlot slot;
  JpegThumbnailer maker;
  Clock::time_point now{std::chrono::hours(1)};
  PictureTap tap;
  std::vector<std::vector<uint8_t>> pictures;
  RawPicture taken;
  std::string jpeg;
  long long thumbnails = 0;
};

void Session(benchmark::State& state, bool watched, bool withProgram) {
  const bool noise = state.range(0) != 0;
  std::vector<std::unique_ptr<Tile>> tiles;
  for (const Source& camera : kCameras)
    tiles.push_back(std::make_unique<Tile>(camera, noise));
  if (withProgram)
    tiles.push_back(std::make_unique<Tile>(kProgram, noise));
  for (auto& tile : tiles)
    tile->slot.SetWanted(watched);
  for (auto _ : state)
    for (auto& tile : tiles)
      tile->OneSecond();
  long long thumbnails = 0;
  size_t bytes = 0;
  for (auto& tile : tiles) {
    thumbnails += tile->thumbnails;
    bytes += tile->jpeg.size();
  }
  const long long expected =
      watched ? 4 * static_cast<long long>(tiles.size()) * state.iterations() : 0;
  if (thumbnails != expected)
    state.SkipWithError("not four thumbnails a second per watched tile");
  state.counters["thumbnails"] = static_cast<double>(thumbnails) / state.iterations();
  state.counters["jpeg_bytes"] = watched ? static_cast<double>(bytes) / tiles.size() : 0;
}

// A page watches: the three default cameras' thumbnails, four a second each.
void BM_ConsoleWatchedThreeCameras(benchmark::State& state) {
  Session(state, true, false);
}
BENCHMARK(BM_ConsoleWatchedThreeCameras)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The same with the program's tile, which a page shows as well.
void BM_ConsoleWatchedThreeCamerasAndProgram(benchmark::State& state) {
  Session(state, true, true);
}
BENCHMARK(BM_ConsoleWatchedThreeCamerasAndProgram)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// A page shows the program live: every picture of a 1280x720 director at 25 a second made
// into a 640x360 JPEG.
void BM_ConsoleProgramLive(benchmark::State& state) {
  Tile program(kProgram, state.range(0) != 0);
  program.slot.SetWanted(true);
  program.slot.SetFullRate(true);
  for (auto _ : state)
    program.OneSecond();
  if (program.thumbnails != kFramesPerSecond * static_cast<long long>(state.iterations()))
    state.SkipWithError("not every picture of the program made into a JPEG");
  state.counters["jpeg_bytes"] = static_cast<double>(program.jpeg.size());
}
BENCHMARK(BM_ConsoleProgramLive)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// No page: the taps only count the pictures that pass.
void BM_ConsoleUnwatchedThreeCamerasAndProgram(benchmark::State& state) {
  Session(state, false, true);
}
BENCHMARK(BM_ConsoleUnwatchedThreeCamerasAndProgram)->Arg(0)->Unit(benchmark::kMillisecond);

// The unit: 10 ms of this thread's CPU time.
void BM_OnePercentOfACore(benchmark::State& state) {
  for (auto _ : state) {
    const double until = ThreadSeconds() + 0.010;
    long long spins = 0;
    while (ThreadSeconds() < until)
      benchmark::DoNotOptimize(++spins);
  }
}
BENCHMARK(BM_OnePercentOfACore)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // Time per second of session against one percent of a core: the share of a core in
  // percent.
  const char* unit = "BM_OnePercentOfACore";
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_ConsoleWatchedThreeCameras/0", unit, 5.0, true},
       {"BM_ConsoleWatchedThreeCameras/1", unit, 5.0, true},
       {"BM_ConsoleWatchedThreeCamerasAndProgram/0", unit, 5.0, true},
       {"BM_ConsoleWatchedThreeCamerasAndProgram/1", unit, 5.0, true},
       {"BM_ConsoleProgramLive/0", unit, 10.0, true},
       {"BM_ConsoleProgramLive/1", unit, 10.0, true},
       {"BM_ConsoleUnwatchedThreeCamerasAndProgram/0", unit, 0.01, true}});
}
