// A process-local mutex with the results of a Win32 mutex: recursive for its owner, and
// Unlock by a thread that does not own it fails (0) instead of corrupting the lock.
// Any thread may call any operation.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CMutexEx {
 public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFF;

  CMutexEx() = default;
  virtual ~CMutexEx() = default;
  CMutexEx(const CMutexEx&) = delete;
  CMutexEx& operator=(const CMutexEx&) = delete;

  // Waits up to `timeout` milliseconds (kInfinite: without limit); 1 acquired, 0 timed out.
  virtual int Lock(uint32_t timeout = kInfinite);
  // Returns TRUE and does nothing, as the framework's counted variant does.
  virtual int Unlock(long count, long* previousCount);
  // Releases one hold of the calling thread; non-zero when released, 0 when the caller
  // does not own the mutex.
  virtual int Unlock();

 private:
  std::mutex m_state;
  std::condition_variable m_released;
  std::thread::id m_owner;  // guarded by m_state; default id when free
  int m_depth = 0;          // guarded by m_state
};
