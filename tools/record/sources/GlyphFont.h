// A 5 x 7 pixel font for what the recorder writes on its own pictures (the test cameras'
// number and counter, the no-signal picture's camera name and time): digits, capital
// letters, space and : - . _ / ( ).
#pragma once

#include <cstdint>

namespace sorvo::tools {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;

// Seven rows, the leftmost pixel in bit 4; null for a character the font lacks.
const uint8_t* Glyph(char c);

}  // namespace sorvo::tools
