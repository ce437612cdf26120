// Puts a terminal into key-at-a-time mode (no line editing, no echo) for the object's life
// and restores the settings it found, on every way out of the scope. Ctrl-C still raises
// SIGINT, and output keeps its line endings. Main thread only.
#pragma once

#include <termios.h>

namespace sorvo::tools {

class RawTerminal {
 public:
  // Does nothing (active() false) when `fd` is not a terminal.
  explicit RawTerminal(int fd);
  ~RawTerminal();
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  bool active() const { return m_active; }
  // The next key pressed, or -1 when none is waiting.
  int ReadKey();

 private:
  int m_fd;
  bool m_active = false;
  termios m_saved{};
};

}  // namespace sorvo::tools
