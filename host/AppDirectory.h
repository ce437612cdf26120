// The application directory (the host's g_strPath): SORVO_APP_DIR when set, else the
// directory of the running executable; a host may set it explicitly. Never ends in '/'.
#pragma once

#include <string>

#include "host/SorvoExport.h"

// Sets the application directory for this process; null or empty returns to the default.
SORVO_EXPORT void SorvoSetAppDirectory(const char* path);
// Copies the application directory into `buffer` (at most `size` bytes, terminated) and
// returns its full length, so that a caller can see whether it was cut.
SORVO_EXPORT int SorvoGetAppDirectory(char* buffer, int size);

namespace sorvo {
std::string AppDirectory();
}  // namespace sorvo
