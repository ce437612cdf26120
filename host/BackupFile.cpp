#include "host/BackupFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "host/PathUtil.h"

namespace {

std::atomic<sorvo::BackupFault> g_fault{sorvo::BackupFault::kNone};

bool Faulty(sorvo::BackupFault from) {
  return static_cast<int>(g_fault.load()) >= static_cast<int>(from);
}

// A failed system call's result, with `error` in errno.
int Fail(int error) {
  errno = error;
  return -1;
}

// BackupFile's result when it moved nothing, with `error` in errno.
int NotMoved(int error) {
  errno = error;
  return 0;
}

int RenameNoReplace(const char* from, const char* to) {
  if (Faulty(sorvo::BackupFault::kNoNoReplaceRename))
    return Fail(EINVAL);
  return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int Link(const char* from, const char* to) {
  if (Faulty(sorvo::BackupFault::kNoHardLinks))
    return Fail(EPERM);
  return ::link(from, to);
}

int Rename(const char* from, const char* to) {
  if (Faulty(sorvo::BackupFault::kNothingMoves))
    return Fail(EPERM);
  return ::rename(from, to);
}

enum class Move { kMoved, kNameTaken, kFailed };

// Moves `from` to `to` unless a file of that name exists.
Move MoveUnlessTaken(const char* from, const char* to) {
  // RENAME_NOREPLACE makes the "does not exist yet" check and the move one step, so a
  // backup made at the same moment by another process is never overwritten.
  if (RenameNoReplace(from, to) == 0)
    return Move::kMoved;
  if (errno == EEXIST)
    return Move::kNameTaken;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
    return Move::kFailed;

  // A file system without the flag: a hard link fails on an existing name just as well.
  if (Link(from, to) == 0) {
    if (::unlink(from) == 0)
      return Move::kMoved;
    const int error = errno;
    ::unlink(to);  // the same file under two names: keep only its own
    errno = error;
    return Move::kFailed;
  }
  if (errno == EEXIST)
    return Move::kNameTaken;
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
    return Move::kFailed;

  // Nor hard links: a plain rename once the name is seen free. Another process could take
  // the name between the look and the rename; such file systems offer nothing better.
  struct stat st;
  if (::lstat(to, &st) == 0)
    return Move::kNameTaken;
  if (errno != ENOENT)
    return Move::kFailed;
  return Rename(from, to) == 0 ? Move::kMoved : Move::kFailed;
}

}  // namespace

namespace sorvo {

std::string BackupName(const std::string& path, int n) {
  const char* ext = PathFindExtensionA(path.c_str());
  size_t stemLength = static_cast<size_t>(ext - path.c_str());
  return path.substr(0, stemLength) + "_bak" + std::to_string(n) + ext;
}

void SetBackupFaultForTesting(BackupFault fault) {
  g_fault.store(fault);
}

}  // namespace sorvo

int BackupFile(const char* path, int /*flag*/) {
  // Only a recording is moved aside: a directory or device standing at the path stays.
  struct stat st;
  if (path == nullptr)
    return NotMoved(EINVAL);
  if (::stat(path, &st) != 0)
    return 0;
  if (!S_ISREG(st.st_mode))
    return NotMoved(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  for (int n = 1; n < 100000; ++n) {
    switch (MoveUnlessTaken(path, sorvo::BackupName(path, n).c_str())) {
      case Move::kMoved:
        return 1;
      case Move::kNameTaken:
        continue;
      case Move::kFailed:
        return 0;
    }
  }
  return NotMoved(EEXIST);
}
