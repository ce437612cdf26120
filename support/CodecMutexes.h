// The process-wide codec mutexes. Each serialises the codec opens and closes of every
// instance of one wrapper kind; different kinds do not exclude each other. Lock order:
// the wrapper's own lock first, then its kind's mutex.
#pragma once

#include <mutex>

#include "support/CMutexEx.h"

namespace sorvo {
std::mutex& VideoEncoderMutex();
std::mutex& VideoDecoderMutex();
std::mutex& AudioEncoderMutex();
CMutexEx& AudioDecoderMutex();

// Holds a CMutexEx for a scope.
class CMutexExLock {
 public:
  explicit CMutexExLock(CMutexEx& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~CMutexExLock() { m_mutex.Unlock(); }
  CMutexExLock(const CMutexExLock&) = delete;
  CMutexExLock& operator=(const CMutexExLock&) = delete;

 private:
  CMutexEx& m_mutex;
};
}  // namespace sorvo
