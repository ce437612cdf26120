#include "ToolProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/TestAppDir.h"
#include "tools/record/PortCheck.h"

extern char** environ;

namespace sorvo::test {
namespace {

std::atomic<int> g_runs{0};

}  // namespace

ToolProcess::ToolProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& folder) {
  const std::string stem = folder + "/run" + std::to_string(getpid()) + "_" +
                           std::to_string(g_runs.fetch_add(1));
  m_outPath = stem + ".out";
  m_errPath = stem + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0)
    m_pid = pid;
  posix_spawn_file_actions_destroy(&actions);
}

ToolProcess::~ToolProcess() {
  if (m_pid > 0 && m_exitCode < 0) {
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
  }
}

int ToolProcess::Wait(std::chrono::seconds timeout) {
  if (m_pid <= 0) return -1;
  if (m_exitCode >= 0) return m_exitCode;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return m_exitCode;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ToolProcess::Signal(int number) {
  if (m_pid > 0 && m_exitCode < 0) kill(m_pid, number);
}

bool ToolProcess::WaitForOutput(const std::string& text, std::chrono::seconds timeout,
                                size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Stdout().find(text, from) != std::string::npos) return true;
    int status = 0;
    if (m_exitCode >= 0 || waitpid(m_pid, &status, WNOHANG) == m_pid) {
      if (m_exitCode < 0)
        m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return Stdout().find(text, from) != std::string::npos;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string ToolProcess::Stdout() const { return ReadWholeFile(m_outPath); }
std::string ToolProcess::Stderr() const { return ReadWholeFile(m_errPath); }

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& folder, std::chrono::seconds timeout) {
  ToolProcess process(program, args, folder);
  ToolResult result;
  result.exitCode = process.Wait(timeout);
  result.out = process.Stdout();
  result.err = process.Stderr();
  return result;
}

int FreePortBase(int span) {
  auto allFree = [span](int base) {
    for (int port = base; port <= base + span; ++port)
      if (!sorvo::tools::PortIsFree(port)) return false;
    return true;
  };
  // Ports in the system's ephemeral range are taken at any moment as the source ports of
  // outgoing connections (a browser's, another test's), so the runs are sought below it.
  int ephemeralLow = 32768;
  if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(range, "%d", &ephemeralLow) != 1) ephemeralLow = 32768;
    std::fclose(range);
  }
  const int low = 10000;
  const int high = std::max(low + 100 * (span + 1), ephemeralLow) - span - 1;
  const int first = low + (getpid() * 131) % (high - low);
  for (int step = 0; step < high - low; step += span + 1) {
    const int base = low + (first - low + step) % (high - low);
    // Tests run side by side: a run is claimed by binding a name in the abstract socket
    // namespace, which the kernel releases when this process ends, so that two tests never
    // hand out the same run whatever their timing. Nothing is written to the file system.
    const int claim = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (claim < 0) break;
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    const std::string tag = "sorvo-test-ports-" + std::to_string(base);
    std::memcpy(name.sun_path + 1, tag.data(), tag.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + tag.size());
    if (bind(claim, reinterpret_cast<const sockaddr*>(&name), length) != 0) {
      close(claim);
      continue;
    }
    if (allFree(base)) return base;  // the claim stays open for the rest of the process
    close(claim);
  }
  return 0;
}

}  // namespace sorvo::test
