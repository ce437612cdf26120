#include "tools/record/PortCheck.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sorvo::tools {

bool PortIsFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                    listen(fd, 1) == 0;
  close(fd);
  return free;
}

}  // namespace sorvo::tools
