// A recursive critical section behind the ZoSyncObj interface. The timeout is ignored:
// Lock waits as long as it takes. Each Lock needs its Unlock on the same thread.
#pragma once

#include <mutex>

#include "support/ZoSyncObj.h"

class ZoCritSec : public ZoSyncObj {
 public:
  ZoCritSec() = default;
  ~ZoCritSec() = default;
  ZoCritSec(const ZoCritSec&) = delete;
  ZoCritSec& operator=(const ZoCritSec&) = delete;

  int Lock(unsigned int /*timeout*/) override {
    m_section.lock();
    return 1;
  }
  int Unlock() override {
    m_section.unlock();
    return 1;
  }

  // For std::lock_guard.
  void lock() { Lock(0); }
  void unlock() { Unlock(); }

 private:
  std::recursive_mutex m_section;
};
