#include "tools/record/sources/StopToken.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace sorvo::tools {

StopToken::StopToken() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopToken::~StopToken() {
  if (m_fd >= 0)
    close(m_fd);
}

void StopToken::Request() {
  if (m_flag.exchange(true) || m_fd < 0)
    return;
  const uint64_t one = 1;
  // Nothing ever reads it back: the descriptor stays readable.
  [[maybe_unused]] const ssize_t written = write(m_fd, &one, sizeof(one));
}

}  // namespace sorvo::tools
