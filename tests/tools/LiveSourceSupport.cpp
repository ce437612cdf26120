#include "LiveSourceSupport.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/TestAppDir.h"
#include "tools/record/PortCheck.h"

namespace sorvo::test {

bool WaitUntilListening(int port, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (sorvo::tools::PortIsFree(port)) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool WaitUntilUdpBound(int port, std::chrono::seconds timeout) {
  // /proc/net/udp lists each socket's local address as hex "0100007F:PORT".
  char local[32];
  std::snprintf(local, sizeof(local), ":%04X ", port);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (ReadWholeFile("/proc/net/udp").find(local) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::unique_ptr<ToolProcess> SendLavfi(const std::string& input,
                                       const std::vector<std::string>& output,
                                       const std::string& folder) {
  std::vector<std::string> args = {"-hide_banner", "-loglevel", "error", "-nostdin", "-re",
                                   "-f",           "lavfi",     "-i",    input};
  args.insert(args.end(), output.begin(), output.end());
  return std::make_unique<ToolProcess>(kFfmpegProgram, args, folder);
}

std::unique_ptr<ToolProcess> ServeMpegTs(const std::string& input,
                                         int port,
                                         const std::string& folder) {
  auto server = SendLavfi(input,
                          {"-c:v", "mpeg2video", "-g", "12", "-f", "mpegts",
                           "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1"},
                          folder);
  if (!server->started() || !WaitUntilListening(port, std::chrono::seconds(30)))
    return nullptr;
  return server;
}

LoopbackServer::LoopbackServer(Serve serve) : m_serve(std::move(serve)) {
  m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (m_listener >= 0 && bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      listen(m_listener, 8) == 0 &&
      getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    m_port = ntohs(address.sin_port);
  if (m_port > 0)
    m_acceptor = std::thread(&LoopbackServer::Accept, this);
}

LoopbackServer::~LoopbackServer() {
  m_stop.store(true);
  if (m_acceptor.joinable())
    m_acceptor.join();
  std::lock_guard<std::mutex> hold(m_lock);
  for (std::thread& served : m_served)
    served.join();
  if (m_listener >= 0)
    close(m_listener);
}

void LoopbackServer::Accept() {
  while (!m_stop.load()) {
    pollfd waiting{m_listener, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0)
      continue;
    const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0)
      continue;
    ++m_connections;
    // A peer that stops reading cannot hold a sender up for long.
    timeval timeout{1, 0};
    setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    std::lock_guard<std::mutex> hold(m_lock);
    m_served.emplace_back([this, connection] {
      m_serve(connection, m_stop);
      close(connection);
    });
  }
}

bool LoopbackServer::SendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0)
      return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool ShowsColour(const Picture& picture, uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  const double u = 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255;
  const double v = 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255;
  auto near = [&](int x, int y) {
    const int chroma = (y / 2) * ((picture.width + 1) / 2) + x / 2;
    return std::abs(picture.u[chroma] - u) < 16 && std::abs(picture.v[chroma] - v) < 16;
  };
  const int right = picture.width - 4;
  const int bottom = picture.height - 4;
  return near(4, 4) && near(right, 4) && near(4, bottom) && near(right, bottom);
}

bool IsNoSignalPicture(const Picture& picture) {
  // The slate's colour, RGB 24, 24, 72, in BT.601 studio range: Y 41, U 149, V 125.
  auto slate = [&](int x, int y) {
    const int chroma = (y / 2) * ((picture.width + 1) / 2) + x / 2;
    return std::abs(picture.y[y * picture.width + x] - 41) < 16 &&
           std::abs(picture.u[chroma] - 149) < 12 && std::abs(picture.v[chroma] - 125) < 12;
  };
  const int right = picture.width - 4;
  const int bottom = picture.height - 4;
  return slate(4, 4) && slate(right, 4) && slate(4, bottom) && slate(right, bottom);
}

}  // namespace sorvo::test
