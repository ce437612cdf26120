#include "host/TickCount.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace sorvo {
namespace {
std::atomic<TickSource> g_tickSource{nullptr};
}  // namespace

void SetTickSourceForTesting(TickSource source) { g_tickSource.store(source); }
}  // namespace sorvo

uint32_t GetTickCount() {
  if (sorvo::TickSource source = sorvo::g_tickSource.load()) return source();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<uint32_t>(ms.count());
}

void Sleep(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
