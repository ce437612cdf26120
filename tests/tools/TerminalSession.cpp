#include "TerminalSession.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace sorvo::test {

TerminalSession::TerminalSession(const std::string& program,
                                 const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  winsize size{};
  size.ws_row = 40;
  size.ws_col = 200;
  const pid_t pid = forkpty(&m_master, nullptr, nullptr, &size);
  if (pid == 0) {
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) return;
  m_pid = pid;
  m_slaveName = ptsname(m_master);
}

TerminalSession::~TerminalSession() {
  if (m_pid > 0) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  if (m_master >= 0) close(m_master);
}

bool TerminalSession::ReadSome(std::chrono::milliseconds wait) {
  pollfd fd{m_master, POLLIN, 0};
  if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0) return true;
  char bytes[4096];
  const ssize_t n = read(m_master, bytes, sizeof(bytes));
  if (n <= 0) return false;  // EIO: the program's side of the terminal is closed
  m_output.append(bytes, static_cast<size_t>(n));
  return true;
}

bool TerminalSession::WaitForOutput(const std::string& text, std::chrono::seconds timeout,
                                    size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto found = [&] { return m_output.find(text, from) != std::string::npos; };
  while (!found()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!ReadSome(std::chrono::milliseconds(50))) return found();
  }
  return true;
}

void TerminalSession::Signal(int number) {
  if (m_pid > 0)
    ::kill(m_pid, number);
}

void TerminalSession::Type(const std::string& keys) {
  [[maybe_unused]] ssize_t written = write(m_master, keys.data(), keys.size());
}

int TerminalSession::Wait(std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline && ReadSome(std::chrono::milliseconds(50))) {
  }
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ReadSome(std::chrono::milliseconds(20));
  }
  return -1;
}

bool TerminalSession::LineModeRestored() const {
  const int fd = open(m_slaveName.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  termios settings{};
  const bool read = tcgetattr(fd, &settings) == 0;
  close(fd);
  return read && (settings.c_lflag & ICANON) && (settings.c_lflag & ECHO);
}

}  // namespace sorvo::test
