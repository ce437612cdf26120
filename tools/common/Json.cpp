#include "tools/common/Json.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace sorvo::tools {

std::string JsonText(const Json& value, int indent) {
  return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

bool WriteJsonFile(const Json& value, const std::string& path, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << JsonText(value, 2) << '\n';
  out.close();
  if (!out) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
