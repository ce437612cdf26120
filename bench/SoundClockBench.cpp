// The sound kept on the session's clock: an hour of a source whose sample clock runs fast
// or slow by the given parts per million, its buffers arriving late by a network's or a
// thread's delay (up to 30 ms, now and then a burst held back 300 ms), through
// SoundClockKeeper. Reports how far the samples handed on are from the session's time at
// the end, in ms per hour, and the farthest they were at any time, against the drift the
// same source leaves uncompensated; and the time the keeper takes per buffer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "tools/record/SessionClock.h"
#include "tools/record/SoundClockKeeper.h"

namespace {

using sorvo::tools::SessionClock;
using sorvo::tools::SoundClockKeeper;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBufferSamples = 1152;
constexpr double kHour = 3600;

void BM_SoundClockResidualDrift(benchmark::State& state) {
  const double drift = static_cast<double>(state.range(0)) * 1e-6;  // the source's gain
  std::vector<uint8_t> pcm(kBufferSamples * kChannels * 2);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<uint8_t>(i * 37);
  std::vector<uint8_t> out;
  double residualMs = 0;
  double worstMs = 0;
  long long buffers = 0;
  for (auto _ : state) {
    SessionClock clock;
    SoundClockKeeper keeper(nullptr, clock, kRate, kChannels, /*padLateStart=*/false);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> delay(0, 0.030);
    long long in = 0, handedOn = 0;
    double now = 0;
    while (now < kHour) {
      // A source fast by `drift` makes its samples this much sooner than their count says.
      now = static_cast<double>(in + kBufferSamples) / kRate / (1 + drift);
      const double late = delay(random) + ((in / kBufferSamples) % 1000 == 0 ? 0.3 : 0.0);
      keeper.Keep(pcm.data(), static_cast<long>(pcm.size()), now + late, &out);
      in += kBufferSamples;
      handedOn += static_cast<long long>(out.size()) / (kChannels * 2);
      worstMs = std::max(worstMs, std::abs(static_cast<double>(handedOn) / kRate - now) * 1000);
      ++buffers;
    }
    // The samples handed on against the session's time that passed.
    residualMs = std::abs(static_cast<double>(handedOn) / kRate - now) * 1000 * kHour / now;
  }
  state.counters["residual_ms_per_hour"] = residualMs;
  state.counters["worst_ms"] = worstMs;
  state.counters["uncompensated_ms_per_hour"] = std::abs(drift) / (1 + drift) * kHour * 1000;
  state.SetItemsProcessed(buffers);
}
BENCHMARK(BM_SoundClockResidualDrift)
    ->Arg(5000)
    ->Arg(-5000)
    ->Arg(50)
    ->Arg(-50)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
