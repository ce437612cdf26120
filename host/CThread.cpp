#include "host/CThread.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <system_error>

CThread::CThread() = default;

CThread::~CThread() {
  if (m_thread.joinable()) {
    CancelThread();
    if (m_thread.get_id() == std::this_thread::get_id())
      m_thread.detach();
    else
      m_thread.join();
  }
}

int CThread::Start(const char* name, const char* /*text*/) {
  if (m_thread.joinable()) {
    std::unique_lock<std::mutex> hold(m_stateLock);
    if (m_running) return 0;
    hold.unlock();
    m_thread.join();  // an earlier body has ended; reap it before starting anew
  }
  m_canceled.store(false);
  {
    std::lock_guard<std::mutex> hold(m_stateLock);
    m_running = true;
  }
  try {
    m_thread = std::thread(&CThread::Body, this, std::string(name ? name : ""));
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> hold(m_stateLock);
    m_running = false;
    return 0;
  }
  return 1;
}

void CThread::Body(std::string name) {
  // Linux limits thread names to 15 bytes plus the terminator.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
  Run();
  std::lock_guard<std::mutex> hold(m_stateLock);
  m_running = false;
  m_ended.notify_all();
}

int CThread::Stop(int /*timeout*/, const char* /*text*/) {
  if (!m_thread.joinable()) return 0;
  if (m_thread.get_id() == std::this_thread::get_id()) return 0;
  m_thread.join();
  return 1;
}

int CThread::IsThreadCanceled() const { return m_canceled.load() ? 1 : 0; }

void CThread::CancelThread() { m_canceled.store(true); }

unsigned long CThread::WaitThread(int milliseconds) {
  std::unique_lock<std::mutex> hold(m_stateLock);
  if (milliseconds < 0) {
    m_ended.wait(hold, [this] { return !m_running; });
    return 0;
  }
  bool ended = m_ended.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                [this] { return !m_running; });
  return ended ? 0 : 258;
}

int CThread::SleepThread(unsigned long milliseconds, unsigned long step) {
  if (step == 0) step = milliseconds ? milliseconds : 1;
  unsigned long slept = 0;
  while (slept < milliseconds) {
    if (IsThreadCanceled()) return 0;
    unsigned long slice = std::min(step, milliseconds - slept);
    std::this_thread::sleep_for(std::chrono::milliseconds(slice));
    slept += slice;
  }
  return IsThreadCanceled() ? 0 : 1;
}
