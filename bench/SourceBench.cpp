// What sorvo-record's test camera costs per picture against the least any source of raw
// pictures costs: writing the picture's bytes once (a memcpy of a prepared picture of the
// same size into the feeder's buffer). A test pattern that costs much more than that would
// make a measurement of the recorder a measurement of the pattern.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "RatioReporter.h"
#include "tools/record/sources/SyntheticCamera.h"

namespace {

using sorvo::tools::SyntheticCamera;

constexpr int kRate = 25;

void BM_SyntheticCameraNext(benchmark::State& state) {
  const auto format = static_cast<PixelFormat>(state.range(0));
  const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
  SyntheticCamera camera(1, width, height, format, kRate);
  std::vector<uint8_t> buffer;
  double due = 0;
  camera.Next(&buffer, &due);  // the buffer's first allocation is the feeder's, once
  for (auto _ : state) {
    camera.Next(&buffer, &due);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CopyPicture(benchmark::State& state) {
  const int bytes =
      SorvoPictureSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                       static_cast<int>(state.range(2)));
  const std::vector<uint8_t> prepared(bytes, 0x80);
  std::vector<uint8_t> buffer(bytes);
  for (auto _ : state) {
    std::memcpy(buffer.data(), prepared.data(), bytes);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
}

constexpr int kRepetitions = 5;

#define SOURCE_SIZES                        \
  ArgNames({"format", "w", "h"})            \
      ->Args({PIX_FMT_BGR24, 3840, 2160})   \
      ->Args({PIX_FMT_YUV420P, 3840, 2160}) \
      ->Args({PIX_FMT_BGR24, 1920, 1080})   \
      ->Repetitions(kRepetitions)           \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_SyntheticCameraNext)->SOURCE_SIZES;
BENCHMARK(BM_CopyPicture)->SOURCE_SIZES;

}  // namespace

int main(int argc, char** argv) {
  std::vector<sorvo::bench::Ratio> ratios;
  for (const char* size :
       {"format:3/w:3840/h:2160", "format:0/w:3840/h:2160", "format:3/w:1920/h:1080"})
    ratios.push_back({std::string("BM_SyntheticCameraNext/") + size,
                      std::string("BM_CopyPicture/") + size, 1.5, true});
  return sorvo::bench::RunWithRatios(argc, argv, ratios, /*interleave=*/true);
}
