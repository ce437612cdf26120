// A TCP connection to a sink's (or the audio sink's) server, read in exact amounts. The
// connection and every read watch a stop descriptor (Ctrl-C, a recorder stopping), a
// deadline and an idle limit, and a read lets the caller run a little work (a window's
// events) while it waits. One thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "tools/common/ServerAddress.h"

namespace sorvo::tools {

class StreamConnection {
 public:
  using Clock = std::chrono::steady_clock;

  StreamConnection() = default;
  ~StreamConnection();
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  // False with `error` set, also when no connection is made within the idle limit or
  // before the deadline, or when the stop descriptor says stop.
  bool Connect(const ServerAddress& address, std::string* error);

  enum class ReadResult { kOk, kClosed, kStopped, kDeadline, kIdle, kFailed };
  // Reads exactly `size` bytes, or up to `size` when `partialOk` (then `*got` says how
  // many), waiting at most until the deadline and no longer than the idle limit without
  // data. `stopFd` becoming readable stops the wait; `whileWaiting` runs every few
  // milliseconds and stops the wait by returning false.
  ReadResult Read(void* buffer, size_t size, size_t* got, bool partialOk);

  void SetDeadline(Clock::time_point deadline) { m_deadline = deadline; }
  void SetIdleLimit(std::chrono::milliseconds limit) { m_idleLimit = limit; }
  std::chrono::milliseconds idleLimit() const { return m_idleLimit; }
  void SetStopFd(int fd) { m_stopFd = fd; }
  void SetWhileWaiting(std::function<bool()> work) { m_whileWaiting = std::move(work); }
  const std::string& error() const { return m_error; }

 private:
  // Waits for a connection begun on a non-blocking socket.
  bool FinishConnect(int fd, std::string* why);

  int m_fd = -1;
  int m_stopFd = -1;
  Clock::time_point m_deadline = Clock::time_point::max();
  std::chrono::milliseconds m_idleLimit{10000};
  std::function<bool()> m_whileWaiting;
  std::string m_error;
};

}  // namespace sorvo::tools
