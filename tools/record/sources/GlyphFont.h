// A 5 x 7 pixel font for the few characters the synthetic cameras write on their pictures:
// digits, space, ':', and the letters of "CAM".
#pragma once

#include <cstdint>

namespace sorvo::tools {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Seven rows, the leftmost pixel in bit 4; null for a character the font lacks.
const uint8_t* Glyph(char c);

}  // namespace sorvo::tools
