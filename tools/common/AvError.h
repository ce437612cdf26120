// FFmpeg's text for an error code, for messages a user reads.
#pragma once

#include <string>

namespace sorvo::tools {

std::string AvErrorText(int code);

}  // namespace sorvo::tools
