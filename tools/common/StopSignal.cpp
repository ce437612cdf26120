#include "tools/common/StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace sorvo::tools {
namespace {

// The pipe's ends and the last signal are process-wide: a signal handler has nothing else.
int g_pipe[2] = {-1, -1};
std::atomic<int> g_lastSignal{0};

void OnStopSignal(int number) {
  const int saved = errno;
  g_lastSignal.store(number);
  const char byte = 1;
  // A full pipe already holds a request; nothing is lost by dropping this byte.
  [[maybe_unused]] ssize_t written = write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

StopSignal::StopSignal() {
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  m_ok = sigaction(SIGINT, &action, &m_previousInt) == 0 &&
         sigaction(SIGTERM, &action, &m_previousTerm) == 0 &&
         sigaction(SIGPIPE, &ignore, &m_previousPipe) == 0 &&
         sigaction(SIGXFSZ, &ignore, &m_previousFileSize) == 0;
}

StopSignal::~StopSignal() {
  sigaction(SIGINT, &m_previousInt, nullptr);
  sigaction(SIGTERM, &m_previousTerm, nullptr);
  sigaction(SIGPIPE, &m_previousPipe, nullptr);
  sigaction(SIGXFSZ, &m_previousFileSize, nullptr);
  for (int& end : g_pipe) {
    if (end >= 0) close(end);
    end = -1;
  }
}

int StopSignal::fd() const { return g_pipe[0]; }

bool StopSignal::Requested() {
  bool any = false;
  char bytes[16];
  while (read(g_pipe[0], bytes, sizeof(bytes)) > 0) any = true;
  return any;
}

int StopSignal::LastSignal() const { return g_lastSignal.load(); }

}  // namespace sorvo::tools
