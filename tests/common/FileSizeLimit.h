// Caps the size of files the process may write (RLIMIT_FSIZE) for the object's lifetime,
// with SIGXFSZ ignored, so that a write past the cap fails with EFBIG as a full disk would.
#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace sorvo::test {

class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &m_previous);
    m_previousHandler = signal(SIGXFSZ, SIG_IGN);
    Set(bytes);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_previous);
    signal(SIGXFSZ, m_previousHandler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  // Moves the cap; it may not rise above the limit the process started with.
  void Set(rlim_t bytes) {
    rlimit limit = m_previous;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }

 private:
  rlimit m_previous{};
  sighandler_t m_previousHandler;
};

}  // namespace sorvo::test
