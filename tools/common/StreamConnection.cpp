#include "tools/common/StreamConnection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sorvo::tools {

StreamConnection::~StreamConnection() {
  if (m_fd >= 0)
    close(m_fd);
}

bool StreamConnection::Connect(const ServerAddress& address, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int result =
      getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found);
  if (result != 0) {
    *error = "cannot find " + address.text + ": " + gai_strerror(result);
    return false;
  }
  std::string why = "no address";
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
    if (fd < 0)
      continue;
    if (connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) {
      m_fd = fd;
      break;
    }
    why = std::strerror(errno);
    close(fd);
  }
  freeaddrinfo(found);
  if (m_fd < 0) {
    *error = "cannot connect to " + address.text + ": " + why;
    return false;
  }
  return true;
}

StreamConnection::ReadResult StreamConnection::Read(void* buffer,
                                                    size_t size,
                                                    size_t* got,
                                                    bool partialOk) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t have = 0;
  Clock::time_point lastData = Clock::now();
  auto finish = [&](ReadResult result) {
    if (got != nullptr)
      *got = have;
    return result;
  };
  while (have < size) {
    const Clock::time_point now = Clock::now();
    if (now >= m_deadline)
      return finish(ReadResult::kDeadline);
    if (now - lastData >= m_idleLimit)
      return finish(ReadResult::kIdle);
    const auto left = std::min<Clock::duration>(
        {m_deadline - now, m_idleLimit - (now - lastData),
         m_whileWaiting ? std::chrono::milliseconds(10) : std::chrono::milliseconds(500)});
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    const int waited =
        poll(fds, m_stopFd >= 0 ? 2 : 1,
             static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    if (waited < 0 && errno != EINTR) {
      m_error = std::strerror(errno);
      return finish(ReadResult::kFailed);
    }
    if (m_stopFd >= 0 && (fds[1].revents & POLLIN))
      return finish(ReadResult::kStopped);
    if (m_whileWaiting && !m_whileWaiting())
      return finish(ReadResult::kStopped);
    if (waited <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    const ssize_t n = recv(m_fd, out + have, size - have, 0);
    if (n == 0)
      return finish(ReadResult::kClosed);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN)
        continue;
      m_error = std::strerror(errno);
      return finish(ReadResult::kFailed);
    }
    have += static_cast<size_t>(n);
    lastData = Clock::now();
    if (partialOk)
      break;
  }
  return finish(ReadResult::kOk);
}

}  // namespace sorvo::tools
