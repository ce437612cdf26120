// The utility library's BackupFile: moves an existing file aside so that no earlier
// recording is ever lost when its path is reused.
#pragma once

#include <string>

// Moves `path` to "<stem>_bak<N><ext>" with the smallest N >= 1 whose name does not exist
// yet, never replacing a file of that name. 1 when the file was moved; 0, with errno set,
// when there was no regular file to move or no way of moving it worked (the file then
// stays where it is).
// The second argument is accepted for the host's signature and has no effect.
int BackupFile(const char* path, int flag);

namespace sorvo {

// The name BackupFile would move `path` to, N counting from 1.
std::string BackupName(const std::string& path, int n);

// The file systems BackupFile meets, for tests on a machine whose file systems can do
// everything.
enum class BackupFault {
  kNone,
  // The no-replace rename fails with EINVAL, as on network and some FUSE file systems.
  kNoNoReplaceRename,
  // That, and hard links fail with EPERM, as on FAT and some shares.
  kNoHardLinks,
  // Every way of moving a file fails with EPERM.
  kNothingMoves,
};
// Process-wide; kNone restores the real behaviour.
void SetBackupFaultForTesting(BackupFault fault);

}  // namespace sorvo
