// Reads a picture size written as WIDTHxHEIGHT ("1280x720"), as the programs' options take
// it.
#pragma once

#include <string>

namespace sorvo::tools {

// False unless `text` is one to five digits, 'x', one to five digits.
bool ParsePictureSize(const std::string& text, int* width, int* height);

}  // namespace sorvo::tools
