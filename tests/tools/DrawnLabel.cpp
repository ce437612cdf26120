#include "DrawnLabel.h"

#include <algorithm>

#include "tools/record/sources/GlyphFont.h"

namespace sorvo::test {
namespace {

// The digit drawn as character `column` of text line `line`; -1 when none matches.
int DrawnDigit(const Picture& picture, int line, int column) {
  const int scale = std::max(1, picture.height / 60);
  const int margin = 2 * scale;
  const int top = margin + line * 9 * scale;
  for (char c = '0'; c <= '9'; ++c) {
    const uint8_t* rows = sorvo::tools::Glyph(c);
    bool same = true;
    for (int row = 0; row < sorvo::tools::kGlyphHeight && same; ++row)
      for (int x = 0; x < sorvo::tools::kGlyphWidth && same; ++x) {
        const int px = margin + column * 6 * scale + x * scale + scale / 2;
        const int py = top + row * scale + scale / 2;
        // White and yellow are light in luma, the panel black.
        const bool lit = picture.y[py * picture.width + px] > 113;
        same = lit == ((rows[row] & (0x10 >> x)) != 0);
      }
    if (same)
      return c - '0';
  }
  return -1;
}

}  // namespace

int DrawnCounter(const Picture& picture) {
  int counter = 0;
  for (int digit = 0; digit < 6; ++digit) {
    const int found = DrawnDigit(picture, 1, digit);
    if (found < 0)
      return -1;
    counter = counter * 10 + found;
  }
  return counter;
}

int DrawnCamera(const Picture& picture) {
  // "CAM " and then the number, one digit for the recorder's cameras 0 to 4.
  return DrawnDigit(picture, 0, 4);
}

}  // namespace sorvo::test
