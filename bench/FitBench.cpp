// Frame fitting: the controller's ZoomScale and ZoomOri against one bare libswscale
// conversion of the same picture, and ZoomOri's pass-through against doing nothing and
// against copying the picture.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "RatioReporter.h"
#include "host/SwsScale.h"
#include "muxing/SorvoEntry.h"
#include "muxing/SorvoMuxer.h"

namespace {

constexpr int kDirectorWidth = 1280;
constexpr int kDirectorHeight = 720;

// A controller with a YUV 4:2:0 director of the given size, its fitting in reach.
class BenchMuxer : public SorvoMuxer {
 public:
  BenchMuxer(int width, int height, EnumZoomOption zoom) {
    CreateSingleMux("bench", "/nonexistent/bench.mp4", width, height, PIX_FMT_YUV420P, 25, 4000000,
                    0, zoom, 0x00000000);
  }
  using SorvoMuxer::ZoomOri;
  using SorvoMuxer::ZoomScale;
};

// One controller per director size and zoom, made on first use and kept for the run.
BenchMuxer& MuxerFor(int width, int height, EnumZoomOption zoom) {
  static std::map<std::pair<std::pair<int, int>, int>, std::unique_ptr<BenchMuxer>> muxers;
  auto& muxer = muxers[{{width, height}, zoom}];
  if (!muxer) {
    InitSorvo();
    sorvo::SetDirectorPortForTesting(0);
    muxer = std::make_unique<BenchMuxer>(width, height, zoom);
  }
  return *muxer;
}

std::vector<unsigned char> BgrPicture(int width, int height) {
  std::vector<unsigned char> picture(static_cast<size_t>(width) * height * 3);
  for (size_t i = 0; i < picture.size(); ++i)
    picture[i] = static_cast<unsigned char>(i * 7 + (i / 3) % 251);
  return picture;
}

void FitLoop(benchmark::State& state, EnumZoomOption zoom) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  std::vector<unsigned char> picture = BgrPicture(width, height);
  BenchMuxer& muxer = MuxerFor(kDirectorWidth, kDirectorHeight, zoom);
  VideoInfo info;
  unsigned char* fitted = nullptr;
  for (auto _ : state) {
    if (zoom == ZOOM_LETTERBOX)
      muxer.ZoomScale(info, fitted, 0, 0, picture.data(), static_cast<long>(picture.size()), width,
                      height, PIX_FMT_BGR24);
    else
      muxer.ZoomOri(info, fitted, 0, 0, picture.data(), static_cast<long>(picture.size()), width,
                    height, PIX_FMT_BGR24);
    benchmark::DoNotOptimize(fitted);
    benchmark::ClobberMemory();
  }
  if (fitted == nullptr)
    state.SkipWithError("the picture was not fitted");
}

// Letterboxed into the 1280 x 720 director.
void BM_ZoomScale(benchmark::State& state) {
  FitLoop(state, ZOOM_LETTERBOX);
}

// Stretched to the 1280 x 720 director.
void BM_ZoomOri(benchmark::State& state) {
  FitLoop(state, ZOOM_STRETCH);
}

// The baseline: one bicubic libswscale conversion of the same picture straight to the
// director's 1280 x 720 YUV 4:2:0, context made once, source padded so nothing reads past it.
void BM_BareSwscale(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  std::vector<unsigned char> picture = BgrPicture(width, height);
  picture.resize(picture.size() + sorvo::kSwsOverread);
  std::vector<unsigned char> out(
      av_image_get_buffer_size(AV_PIX_FMT_YUV420P, kDirectorWidth, kDirectorHeight, 1));
  sorvo::SwsContextPtr context(sws_getContext(width, height, AV_PIX_FMT_BGR24, kDirectorWidth,
                                              kDirectorHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                              nullptr, nullptr, nullptr));
  uint8_t* srcData[4];
  int srcLines[4];
  uint8_t* dstData[4];
  int dstLines[4];
  av_image_fill_arrays(srcData, srcLines, picture.data(), AV_PIX_FMT_BGR24, width, height, 1);
  av_image_fill_arrays(dstData, dstLines, out.data(), AV_PIX_FMT_YUV420P, kDirectorWidth,
                       kDirectorHeight, 1);
  for (auto _ : state) {
    sws_scale(context.get(), srcData, srcLines, 0, height, dstData, dstLines);
    benchmark::ClobberMemory();
  }
}

// A picture that already has the director's size and format.
void BM_ZoomOriPassThrough(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  std::vector<unsigned char> picture(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1),
                                     0x40);
  BenchMuxer& muxer = MuxerFor(width, height, ZOOM_STRETCH);
  VideoInfo info;
  unsigned char* fitted = nullptr;
  for (auto _ : state) {
    muxer.ZoomOri(info, fitted, 0, 0, picture.data(), static_cast<long>(picture.size()), width,
                  height, PIX_FMT_YUV420P);
    benchmark::DoNotOptimize(fitted);
  }
  if (fitted != picture.data())
    state.SkipWithError("the picture did not pass through");
}

// Baselines for the pass-through: nothing at all, and one copy of the picture.
void BM_Nothing(benchmark::State& state) {
  unsigned char byte = 0;
  unsigned char* pointer = &byte;
  for (auto _ : state)
    benchmark::DoNotOptimize(pointer);
}

void BM_CopyPicture(benchmark::State& state) {
  const size_t size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, static_cast<int>(state.range(0)),
                                               static_cast<int>(state.range(1)), 1);
  std::vector<unsigned char> picture(size, 0x40), copy(size);
  for (auto _ : state) {
    std::memcpy(copy.data(), picture.data(), size);
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_ZoomScale)->Args({640, 480});
BENCHMARK(BM_ZoomOri)->Args({640, 480});
BENCHMARK(BM_BareSwscale)->Args({640, 480});
BENCHMARK(BM_ZoomOriPassThrough)->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_Nothing);
BENCHMARK(BM_CopyPicture)->Args({640, 480})->Args({1920, 1080});

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_ZoomScale/640/480", "BM_BareSwscale/640/480", 1.5, true},
       {"BM_ZoomOri/640/480", "BM_BareSwscale/640/480", 1.1, true},
       // No copy: the pass-through costs the same whatever the picture's size, far below
       // one copy of it, a few calls above nothing.
       {"BM_ZoomOriPassThrough/1920/1080", "BM_ZoomOriPassThrough/640/480", 1.5, true},
       {"BM_ZoomOriPassThrough/640/480", "BM_CopyPicture/640/480", 0.05, true},
       {"BM_ZoomOriPassThrough/640/480", "BM_Nothing", 200, true}});
}
