#include "tools/common/EveryCore.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace sorvo::tools {

void ForEachOnCores(size_t count, const std::function<void(size_t)>& task, unsigned threads) {
  if (threads == 0)
    threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<size_t>(threads, count));
  // Tasks are taken in order, so that the first results come first whatever their length.
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < count; i = next++)
      task(i);
  };
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t)
    workers.emplace_back(work);
  work();
  for (std::thread& worker : workers)
    worker.join();
}

}  // namespace sorvo::tools
