#include "tools/record/console/ConsoleAddress.h"

#include <algorithm>
#include <cctype>

namespace sorvo::tools {

std::string ConsoleAddress::HostText() const {
  const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return host + ":" + std::to_string(port);
}

bool ParseConsoleAddress(const std::string& text, ConsoleAddress* out, std::string* error) {
  ConsoleAddress parsed;
  std::string portText = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    std::string host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
    else if (host.find(':') != std::string::npos) {
      *error = "write an IPv6 address in brackets, e.g. [::1]:8040";
      return false;
    }
    boost::system::error_code failed;
    parsed.address = boost::asio::ip::make_address(host, failed);
    if (failed || host.empty()) {
      *error = "'" + host + "' is not an IP address (e.g. 127.0.0.1 or 0.0.0.0)";
      return false;
    }
  }
  const bool digits = !portText.empty() && portText.size() <= 5 &&
                      std::all_of(portText.begin(), portText.end(), [](char c) {
                        return std::isdigit(static_cast<unsigned char>(c)) != 0;
                      });
  const long port = digits ? std::stol(portText) : -1;
  if (port < 0 || port > 65535) {
    *error = "the port must be a number from 0 to 65535, not '" + portText + "'";
    return false;
  }
  parsed.port = static_cast<unsigned short>(port);
  *out = parsed;
  return true;
}

}  // namespace sorvo::tools
