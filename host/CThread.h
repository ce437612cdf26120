// The utility library's thread: a derived class supplies Run(), which Start() runs on a
// std::thread named after the first 15 bytes of the given name.
//
// Start, Stop, CancelThread and WaitThread are called by the owner's control thread;
// IsThreadCanceled and SleepThread by the thread body. Owners call Stop before the
// derived object is destroyed: the destructor only joins, as a last resort, so that a
// forgotten Stop cannot terminate the process.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the thread body; 0 when a thread is already running or cannot be created.
  virtual int Start(const char* name, const char* text);
  // Returns once the thread body has ended; the arguments are accepted and unused.
  // 1 when a thread was joined, 0 when none ran or when called from the thread itself.
  virtual int Stop(int timeout, const char* text);
  virtual int IsThreadCanceled() const;
  virtual void CancelThread();
  // Waits up to `milliseconds` (negative: without limit) for the body to end:
  // 0 once it has ended (or never started), 258 (timeout) otherwise.
  virtual unsigned long WaitThread(int milliseconds);
  // Sleeps `milliseconds` in slices of `step`, waking early when cancelled:
  // 1 when the whole time passed, 0 when cancelled.
  virtual int SleepThread(unsigned long milliseconds, unsigned long step);

 protected:
  // The thread body.
  virtual int Run() = 0;

 private:
  void Body(std::string name);

  std::thread m_thread;             // touched by the control thread only
  std::atomic<bool> m_canceled{false};
  std::mutex m_stateLock;
  std::condition_variable m_ended;  // signalled when the body returns
  bool m_running = false;           // guarded by m_stateLock
};
