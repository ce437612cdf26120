// Where the console listens: the text of --console ("[ADDR:]PORT") made into an address
// and a port, and whether that address can be reached from other machines.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <string>

namespace sorvo::tools {

struct ConsoleAddress {
  boost::asio::ip::address address = boost::asio::ip::make_address_v4("127.0.0.1");
  unsigned short port = 8040;

  // 127.0.0.0/8 and ::1: only this machine can connect.
  bool Loopback() const { return address.is_loopback(); }
  // "127.0.0.1:8040", "[::1]:8040": the address as a URL and a Host header write it.
  std::string HostText() const;
};

// Parses "PORT", "ADDR:PORT" or "[IPV6]:PORT"; the address must be an IP address (a
// name could resolve to anything). Port 0 asks for any free port. False with `error`.
bool ParseConsoleAddress(const std::string& text, ConsoleAddress* out, std::string* error);

}  // namespace sorvo::tools
