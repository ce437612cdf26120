// A blocking TCP client over the loopback interface, as a viewer of the transfer server
// would be. Every read and write gives up after a generous timeout, so that a server fault
// fails the test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

namespace sorvo::test {

class LoopbackClient {
 public:
  // `receiveBuffer` > 0 shrinks the kernel's receive buffer before connecting, so that a
  // client that does not read holds back as little as the kernel allows.
  explicit LoopbackClient(unsigned short port, const char* address = "127.0.0.1",
                          int receiveBuffer = 0)
      : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0)
      setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    timeval timeout{20, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    inet_pton(AF_INET, address, &peer.sin_addr);
    m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0;
  }
  ~LoopbackClient() { Close(); }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool connected() const { return m_connected; }

  // Up to `count` bytes: fewer only when the server closed or the timeout struck.
  std::string Read(size_t count) {
    std::string bytes(count, '\0');
    size_t got = 0;
    while (got < count) {
      const ssize_t n = recv(m_fd, &bytes[got], count - got, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  // Reads until the server closes; the number of bytes read, or -1 on a timeout.
  long long DrainToEnd() {
    char sink[65536];
    long long total = 0;
    for (;;) {
      const ssize_t n = recv(m_fd, sink, sizeof(sink), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return -1;
      if (n <= 0) return total;  // an orderly close or a reset
      total += n;
    }
  }

  bool SendAll(const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = send(m_fd, at, size, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      at += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

  // Closes with a reset instead of an orderly shutdown.
  void Reset() {
    linger abort{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    Close();
  }

  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd;
  bool m_connected = false;
};

// A TCP port on the loopback interface that was free a moment ago: for components that take
// a port number rather than binding port 0 themselves. 0 when none could be found.
inline unsigned short FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  unsigned short port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

}  // namespace sorvo::test
