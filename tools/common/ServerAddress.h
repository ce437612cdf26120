// The HOST:PORT a user names for sorvo-view: a host name, an IPv4 address or a bracketed
// IPv6 address, and a port number from 1 to 65535. Read from the command line, main thread.
#pragma once

#include <string>

namespace sorvo::tools {

struct ServerAddress {
  std::string text;  // as the user wrote it
  std::string host;  // without the brackets of an IPv6 address
  int port = 0;

  // False with `error` saying what is wrong with `text`.
  static bool Parse(const std::string& text, ServerAddress* address, std::string* error);
};

}  // namespace sorvo::tools
