#include "tools/common/StreamConnection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sorvo::tools {
namespace {

constexpr const char* kStoppedText = "stopped";

}  // namespace

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
  for (addrinfo* entry = found; entry != nullptr && m_fd < 0; entry = entry->ai_next) {
    const int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          entry->ai_protocol);
    if (fd < 0)
      continue;
    bool connected = connect(fd, entry->ai_addr, entry->ai_addrlen) == 0;
    if (!connected) {
      if (errno == EINPROGRESS)
        connected = FinishConnect(fd, &why);
      else
        why = std::strerror(errno);
    }
    if (connected) {
      // Reads wait in poll; the socket itself blocks as it always did.
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      m_fd = fd;
      break;
    }
    close(fd);
    if (why == kStoppedText)
      break;
  }
  freeaddrinfo(found);
  if (m_fd < 0) {
    *error = "cannot connect to " + address.text + ": " + why;
    return false;
  }
  return true;
}

bool StreamConnection::FinishConnect(int fd, std::string* why) {
  // A host that does not answer is given up on after the idle limit or at the deadline,
  // and the stop descriptor ends the wait at once.
  const Clock::time_point end = std::min(m_deadline, Clock::now() + m_idleLimit);
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (now >= end) {
      *why = "no answer within " +
             std::to_string(std::chrono::duration_cast<std::chrono::seconds>(m_idleLimit).count()) +
             " s";
      return false;
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
    const int waited =
        poll(fds, m_stopFd >= 0 ? 2 : 1,
             static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(end - now).count()));
    if (waited < 0 && errno != EINTR) {
      *why = std::strerror(errno);
      return false;
    }
    if (m_stopFd >= 0 && (fds[1].revents & POLLIN)) {
      *why = kStoppedText;
      return false;
    }
    if (waited > 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      int failure = 0;
      socklen_t length = sizeof(failure);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
        failure = errno;
      if (failure == 0)
        return true;
      *why = std::strerror(failure);
      return false;
    }
  }
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
