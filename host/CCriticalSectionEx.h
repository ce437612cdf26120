// The utility library's recursive lock object. Taken with std::lock_guard or
// std::unique_lock where the module's design takes a scoped single lock.
#pragma once

#include <mutex>

class CCriticalSectionEx {
 public:
  CCriticalSectionEx() = default;
  virtual ~CCriticalSectionEx() = default;
  CCriticalSectionEx(const CCriticalSectionEx&) = delete;
  CCriticalSectionEx& operator=(const CCriticalSectionEx&) = delete;

  void lock() { m_mutex.lock(); }
  void unlock() { m_mutex.unlock(); }
  bool try_lock() { return m_mutex.try_lock(); }

 private:
  std::recursive_mutex m_mutex;
};

using CSingleLock = std::lock_guard<CCriticalSectionEx>;
