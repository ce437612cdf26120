// The frame pool's Push against a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "RatioReporter.h"
#include "sink/FramePoolLite.h"

namespace {

constexpr int kBuffers = 5;

int BgrSize(const benchmark::State& state) {
  return static_cast<int>(state.range(0) * state.range(1) * 3);
}

// Pushes BGR24 pictures of the state's size (width, height) into a pool of that item size.
void PushLoop(benchmark::State& state, bool withWorker) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const int size = BgrSize(state);
  std::vector<unsigned char> picture(size, 0x5A);
  FramePoolLite pool;
  pool.Init(size);
  if (withWorker)
    pool.StartWorker("Pool_bench");
  for (int i = 0; i < kBuffers; ++i)  // the buffers' pages are touched before timing
    pool.Push(0, picture.data(), width, height, PIX_FMT_BGR24, 0, size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(pool.Push(0, picture.data(), width, height, PIX_FMT_BGR24, 0, size));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * size);
  pool.StopPool();
}

// No worker runs: once five pictures wait, every Push gives up the oldest one, the pool's
// busiest path.
void BM_PoolPush(benchmark::State& state) {
  PushLoop(state, false);
}

// A worker takes the pictures as they come (and does nothing with them).
void BM_PoolPushWithWorker(benchmark::State& state) {
  PushLoop(state, true);
}

// The baseline: the same bytes copied into five buffers in turn, as the pool's copies land.
void BM_MemcpyFiveBuffers(benchmark::State& state) {
  const int size = BgrSize(state);
  std::vector<unsigned char> picture(size, 0x5A);
  std::vector<std::vector<unsigned char>> buffers(kBuffers, std::vector<unsigned char>(size));
  int next = 0;
  for (auto _ : state) {
    std::memcpy(buffers[next].data(), picture.data(), size);
    benchmark::ClobberMemory();
    next = (next + 1) % kBuffers;
  }
  state.SetBytesProcessed(state.iterations() * size);
}

// The same copy into one buffer that stays in the cache as far as it fits.
void BM_MemcpyOneBuffer(benchmark::State& state) {
  const int size = BgrSize(state);
  std::vector<unsigned char> picture(size, 0x5A);
  std::vector<unsigned char> buffer(size);
  for (auto _ : state) {
    std::memcpy(buffer.data(), picture.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * size);
}

BENCHMARK(BM_PoolPush)->Args({1280, 720})->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_PoolPushWithWorker)->Args({1280, 720});
BENCHMARK(BM_MemcpyFiveBuffers)->Args({1280, 720})->Args({640, 480})->Args({1920, 1080});
BENCHMARK(BM_MemcpyOneBuffer)->Args({1280, 720});

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_PoolPush/1280/720", "BM_MemcpyFiveBuffers/1280/720", 1.2, true},
       {"BM_PoolPush/1280/720", "BM_MemcpyOneBuffer/1280/720", 1.2, true},
       {"BM_PoolPush/640/480", "BM_MemcpyFiveBuffers/640/480", 1.2, true},
       {"BM_PoolPush/1920/1080", "BM_MemcpyFiveBuffers/1920/1080", 1.2, true}});
}
