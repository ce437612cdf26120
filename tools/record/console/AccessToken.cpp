#include "tools/record/console/AccessToken.h"

#include <sys/random.h>

#include <cstdint>

namespace sorvo::tools {

std::string MakeAccessToken() {
  uint8_t random[16];
  size_t got = 0;
  while (got < sizeof(random)) {
    const ssize_t n = getrandom(random + got, sizeof(random) - got, 0);
    if (n <= 0)
      return "";
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string token;
  for (uint8_t byte : random) {
    token += kHex[byte >> 4];
    token += kHex[byte & 15];
  }
  return token;
}

bool TokensEqual(std::string_view presented, std::string_view expected) {
  unsigned difference = presented.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i)
    difference |= static_cast<unsigned char>(i < presented.size() ? presented[i] : 0) ^
                  static_cast<unsigned char>(expected[i]);
  return difference == 0 && !expected.empty();
}

}  // namespace sorvo::tools
