// Local-time stamps for the file names the module makes.
#pragma once

#include <ctime>
#include <string>

namespace sorvo {
// strftime of the local time `when` with `format`; empty when the local time cannot be
// computed or the text does not fit in 128 bytes.
std::string LocalTimeStamp(const char* format, std::time_t when);
// "_%Y%m%d_%H%M%S" of the current local time.
std::string FileTimeStamp();
}  // namespace sorvo
