// Turns SIGINT and SIGTERM into a readable descriptor (the self-pipe pattern), so that a
// program's main loop notices a stop request in poll() and stops cleanly on its own thread.
// The handler only writes one byte: all the work of stopping happens in the main loop.
//
// One instance per process, made on the main thread before any other thread that should
// not see the signals; it restores the previous handlers when destroyed. SIGPIPE and SIGXFSZ
// are ignored while it lives, so that a closed output stream or socket, or a write past the
// file-size limit, is an error the program reports, not a death that leaves every file
// unfinished.
#pragma once

#include <signal.h>

namespace sorvo::tools {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // False when the pipe or the handlers could not be set up.
  bool ok() const { return m_ok; }
  // Becomes readable when a stop was requested; for poll().
  int fd() const;
  // True once a signal came; drains the pipe.
  bool Requested();
  // The number of the last signal received, 0 before any.
  int LastSignal() const;

 private:
  bool m_ok = false;
  struct sigaction m_previousInt {};
  struct sigaction m_previousTerm {};
  struct sigaction m_previousPipe {};
  struct sigaction m_previousFileSize {};
};

}  // namespace sorvo::tools
