// Waits for a condition that another thread (a server's, a worker's) brings about. The
// deadline only keeps a broken component from hanging the suite.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace sorvo::test {

inline bool WaitUntil(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace sorvo::test
