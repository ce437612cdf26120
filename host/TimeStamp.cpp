#include "host/TimeStamp.h"

namespace sorvo {

std::string LocalTimeStamp(const char* format, std::time_t when) {
  std::tm local{};
  if (localtime_r(&when, &local) == nullptr) return std::string();
  char text[128];
  size_t n = std::strftime(text, sizeof(text), format, &local);
  return std::string(text, n);
}

std::string FileTimeStamp() { return LocalTimeStamp("_%Y%m%d_%H%M%S", std::time(nullptr)); }

}  // namespace sorvo
