#include "tools/common/PictureSizeText.h"

#include <cctype>

namespace sorvo::tools {
namespace {

// Reads one to five digits from `at` on.
bool ReadNumber(const std::string& text, size_t* at, int* value) {
  const size_t start = *at;
  *value = 0;
  while (*at < text.size() && *at - start < 5 && std::isdigit(static_cast<unsigned char>(text[*at])))
    *value = *value * 10 + (text[(*at)++] - '0');
  return *at > start;
}

}  // namespace

bool ParsePictureSize(const std::string& text, int* width, int* height) {
  size_t at = 0;
  if (!ReadNumber(text, &at, width) || at >= text.size() || text[at] != 'x') return false;
  ++at;
  return ReadNumber(text, &at, height) && at == text.size();
}

}  // namespace sorvo::tools
