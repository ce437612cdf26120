// Whether a TCP port can still be listened on at an address, as the library's servers
// listen (address reuse on): a port in use is caught before a server quietly fails.
#pragma once

#include <string>

namespace sorvo::tools {

// `address` "0.0.0.0" (every IPv4 interface) also finds a port taken on one of them only.
// False for an address that is not an IP address of this machine.
bool PortIsFree(int port, const std::string& address = "0.0.0.0");

}  // namespace sorvo::tools
