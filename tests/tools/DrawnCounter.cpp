#include "DrawnCounter.h"

#include <algorithm>

#include "tools/record/sources/GlyphFont.h"

namespace sorvo::test {

int DrawnCounter(const Picture& picture) {
  const int scale = std::max(1, picture.height / 60);
  const int margin = 2 * scale;
  const int top = margin + 9 * scale;
  int counter = 0;
  for (int digit = 0; digit < 6; ++digit) {
    int found = -1;
    for (char c = '0'; c <= '9' && found < 0; ++c) {
      const uint8_t* rows = sorvo::tools::Glyph(c);
      bool same = true;
      for (int row = 0; row < sorvo::tools::kGlyphHeight && same; ++row)
        for (int column = 0; column < sorvo::tools::kGlyphWidth && same; ++column) {
          const int x = margin + digit * 6 * scale + column * scale + scale / 2;
          const int y = top + row * scale + scale / 2;
          // Yellow is light in luma, the panel black.
          const bool lit = picture.y[y * picture.width + x] > 113;
          same = lit == ((rows[row] & (0x10 >> column)) != 0);
        }
      if (same)
        found = c - '0';
    }
    if (found < 0)
      return -1;
    counter = counter * 10 + found;
  }
  return counter;
}

}  // namespace sorvo::test
