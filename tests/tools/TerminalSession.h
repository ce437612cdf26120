// Runs a program on a pseudo-terminal, as a user at a terminal would: what it prints is
// read back from the terminal, and keys are typed into it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sorvo::test {

class TerminalSession {
 public:
  TerminalSession(const std::string& program, const std::vector<std::string>& args);
  // A program still running is killed.
  ~TerminalSession();
  TerminalSession(const TerminalSession&) = delete;
  TerminalSession& operator=(const TerminalSession&) = delete;

  bool started() const { return m_pid > 0; }
  // Reads what the program prints until the output from offset `from` on holds `text`;
  // false when the program closed the terminal or the timeout struck first.
  bool WaitForOutput(const std::string& text, std::chrono::seconds timeout, size_t from = 0);
  void Type(const std::string& keys);
  void Signal(int number);
  // Reads to the end and returns the exit code (-1 on a timeout).
  int Wait(std::chrono::seconds timeout);
  const std::string& output() const { return m_output; }
  // Whether the terminal is back in line mode with echo, as it was before the program.
  bool LineModeRestored() const;

 private:
  // Reads what is there within `wait`; false once the program closed the terminal.
  bool ReadSome(std::chrono::milliseconds wait);

  pid_t m_pid = -1;
  int m_master = -1;
  std::string m_slaveName;
  std::string m_output;
};

}  // namespace sorvo::test
