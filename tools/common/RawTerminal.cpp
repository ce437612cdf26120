#include "tools/common/RawTerminal.h"

#include <unistd.h>

namespace sorvo::tools {

RawTerminal::RawTerminal(int fd) : m_fd(fd) {
  if (!isatty(fd) || tcgetattr(fd, &m_saved) != 0) return;
  termios raw = m_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // Reads return at once, with or without a key.
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  m_active = tcsetattr(fd, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal() {
  if (m_active) tcsetattr(m_fd, TCSANOW, &m_saved);
}

int RawTerminal::ReadKey() {
  if (!m_active) return -1;
  unsigned char key;
  return read(m_fd, &key, 1) == 1 ? key : -1;
}

}  // namespace sorvo::tools
