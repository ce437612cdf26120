#include "support/CMutexEx.h"

#include <chrono>

int CMutexEx::Lock(uint32_t timeout) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> hold(m_state);
  auto free = [this, self] { return m_depth == 0 || m_owner == self; };
  if (timeout == kInfinite) {
    m_released.wait(hold, free);
  } else if (!m_released.wait_for(hold, std::chrono::milliseconds(timeout), free)) {
    return 0;
  }
  m_owner = self;
  ++m_depth;
  return 1;
}

int CMutexEx::Unlock(long /*count*/, long* /*previousCount*/) { return 1; }

int CMutexEx::Unlock() {
  std::lock_guard<std::mutex> hold(m_state);
  if (m_depth == 0 || m_owner != std::this_thread::get_id()) return 0;
  if (--m_depth == 0) {
    m_owner = std::thread::id();
    m_released.notify_one();
  }
  return 1;
}
