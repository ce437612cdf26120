// Asks a live source to stop from any thread, and breaks it out of whatever it waits on:
// libavformat polls the flag through its interrupt callback, a socket wait polls the
// descriptor, which becomes readable once stop is asked.
//
// Threads: Request and the getters from any thread. Made and destroyed by the owner of the
// threads that wait on it, after they have ended.
#pragma once

#include <atomic>

namespace sorvo::tools {

class StopToken {
 public:
  StopToken();
  ~StopToken();
  StopToken(const StopToken&) = delete;
  StopToken& operator=(const StopToken&) = delete;

  void Request();
  bool requested() const { return m_flag.load(); }
  const std::atomic<bool>* flag() const { return &m_flag; }
  // Readable once stop is asked; -1 when no descriptor could be had (the flag still works).
  int fd() const { return m_fd; }

 private:
  std::atomic<bool> m_flag{false};
  int m_fd = -1;
};

}  // namespace sorvo::tools
