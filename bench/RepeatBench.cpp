// What keeping a constant rate costs where pictures were lost, measured in one run against
// encoding the same pictures without loss (FFEncoder, 1280 x 720 YUV 4:2:0, moving noise):
//   BM_EncodeEverySlot       every slot's picture encoded: the baseline;
//   BM_EncodeWithLostSlots   one picture in `lost` never arrives; its slot gets a repeat of
//                            the picture before it when the next one comes;
//   BM_RepeatSlot            one repeat picture made by itself.
// Each iteration is one slot of the stream, so the ratios are per slot: a repeat's share of
// an encoded picture's cost, and a lossy stream's against a whole one.
#include <benchmark/benchmark.h>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "MovingNoise.h"
#include "RatioReporter.h"
#include "codec/FFEncoder.h"
#include "codec/RepeatPicture.h"
#include "host/MediaBase.h"

namespace {

constexpr int kFrameRate = 25;
constexpr int kBitRate = 4000000;
constexpr int kPictures = 8;

class CountingEncoder : public FFEncoder {
 public:
  int64_t bytes = 0;

 protected:
  void OnEncode(AVPacket* packet) override { bytes += packet->size; }
};

// Slot n's picture is captured at n / rate; one in `lost` (0: none) never arrives.
void EncodeSlots(benchmark::State& state, int64_t lost) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  std::vector<std::vector<uint8_t>> pictures =
      sorvo::bench::MovingNoisePictures(width, height, kPictures);
  CountingEncoder encoder;
  if (encoder.Open(width, height, PIX_FMT_YUV420P, kFrameRate, kBitRate, "bench") != 1) {
    state.SkipWithError("open failed");
    return;
  }
  int64_t slot = 0;
  for (auto _ : state) {
    const int64_t n = slot++;
    if (lost > 0 && n % lost == lost - 1)
      continue;
    std::vector<uint8_t>& picture = pictures[n % kPictures];
    if (encoder.Encode(0, static_cast<double>(n) / kFrameRate, picture.data(),
                       static_cast<long>(picture.size())) != 1) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["repeats"] = static_cast<double>(encoder.GetRepeatedPictures());
  state.counters["bytes_per_slot"] =
      static_cast<double>(encoder.bytes) / static_cast<double>(state.iterations());
}

void BM_EncodeEverySlot(benchmark::State& state) {
  EncodeSlots(state, 0);
}

void BM_EncodeWithLostSlots(benchmark::State& state) {
  EncodeSlots(state, state.range(2));
}

// A repeat picture made for the next slot: what filling a slot costs the encoder beyond
// handing the packet on, which costs the same for any picture.
void BM_RepeatSlot(benchmark::State& state) {
  sorvo::RepeatPicture repeat;
  repeat.Reset(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), kFrameRate);
  int64_t slot = 1;
  size_t bytes = 0;
  for (auto _ : state) {
    const std::vector<uint8_t>& coded = repeat.Build(slot, slot - 1);
    benchmark::DoNotOptimize(coded.data());
    bytes = coded.size();
    ++slot;
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

constexpr int kRepetitions = 5;

BENCHMARK(BM_EncodeEverySlot)
    ->ArgNames({"w", "h"})
    ->Args({1280, 720})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeWithLostSlots)
    ->ArgNames({"w", "h", "lost"})
    ->Args({1280, 720, 5})
    ->Args({1280, 720, 2})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);
// In the unit of the baseline, which the ratio compares it with.
BENCHMARK(BM_RepeatSlot)
    ->ArgNames({"w", "h"})
    ->Args({1280, 720})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  InitFFmpeg();
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {// A slot filled costs under 5 % of a picture encoded: filling is on by default.
       {"BM_RepeatSlot/w:1280/h:720", "BM_EncodeEverySlot/w:1280/h:720", 0.05, true},
       // Losing pictures must never make a slot dearer than encoding its picture would.
       {"BM_EncodeWithLostSlots/w:1280/h:720/lost:5", "BM_EncodeEverySlot/w:1280/h:720", 1.0, true},
       {"BM_EncodeWithLostSlots/w:1280/h:720/lost:2", "BM_EncodeEverySlot/w:1280/h:720", 1.0,
        true}},
      /*interleave=*/true);
}
