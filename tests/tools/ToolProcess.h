// Runs one of the command-line programs as a real process, as a user would: its standard
// input is empty, its standard output and error go to files that the test reads, and it
// inherits the environment (SORVO_APP_DIR of the test's TestAppDir among it).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sorvo::test {

class ToolProcess {
 public:
  // `folder` receives the output files.
  ToolProcess(const std::string& program, const std::vector<std::string>& args,
              const std::string& folder);
  // A process still running is killed.
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  bool started() const { return m_pid > 0; }
  pid_t pid() const { return m_pid; }
  // The exit code once it has ended; 128 + the signal when a signal ended it; -1 when it
  // was still running after `timeout`.
  int Wait(std::chrono::seconds timeout);
  void Signal(int number);
  // Waits until the standard output from offset `from` on holds `text`; false when the
  // process ended or the timeout struck first.
  bool WaitForOutput(const std::string& text, std::chrono::seconds timeout, size_t from = 0);

  std::string Stdout() const;
  std::string Stderr() const;

 private:
  pid_t m_pid = -1;
  int m_exitCode = -1;
  std::string m_outPath;
  std::string m_errPath;
};

struct ToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the program to its end (at most `timeout`).
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& folder,
                   std::chrono::seconds timeout = std::chrono::seconds(180));

// A port B such that B to B + span can all be listened on right now and that no other test
// process is handed while this one runs; 0 when none was found. The recorder's servers take
// a range of ports from one base.
int FreePortBase(int span);

}  // namespace sorvo::test
