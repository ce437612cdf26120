#include "tools/common/ServerAddress.h"

#include <algorithm>
#include <cctype>

namespace sorvo::tools {

bool ServerAddress::Parse(const std::string& text, ServerAddress* address, std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    *error = "\"" + text + "\" is not HOST:PORT";
    return false;
  }
  const std::string port = text.substr(colon + 1);
  // Digits only: the resolver would take a service name, and wrap a number past 65535.
  const bool digits = std::all_of(
      port.begin(), port.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  const size_t significant = port.find_first_not_of('0');
  if (!digits || significant == std::string::npos || port.size() - significant > 5 ||
      std::stoi(port) > 65535) {
    *error = "the port of " + text + " must be a number from 1 to 65535";
    return false;
  }
  address->text = text;
  address->port = std::stoi(port);
  address->host = text.substr(0, colon);
  if (address->host.size() > 2 && address->host.front() == '[' && address->host.back() == ']')
    address->host = address->host.substr(1, address->host.size() - 2);
  return true;
}

}  // namespace sorvo::tools
