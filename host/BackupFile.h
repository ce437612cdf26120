// The utility library's BackupFile: moves an existing file aside so that no earlier
// recording is ever lost when its path is reused.
#pragma once

#include <string>

// Renames `path` to "<stem>_bak<N><ext>" with the smallest N >= 1 whose name does not exist
// yet. 1 when the file was moved, 0 when there was no regular file to move or the rename
// failed.
// The second argument is accepted for the host's signature and has no effect.
int BackupFile(const char* path, int flag);

namespace sorvo {
// The name BackupFile would move `path` to, N counting from 1.
std::string BackupName(const std::string& path, int n);
}  // namespace sorvo
