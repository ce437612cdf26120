// Writes a whole text file at once, under a temporary name beside it that is renamed when
// complete, so that a reader never finds half a file.
#pragma once

#include <string>

namespace sorvo::tools {

// False with `error` (what failed and why) when the file cannot be written whole.
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

}  // namespace sorvo::tools
