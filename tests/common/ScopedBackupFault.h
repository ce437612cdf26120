// Makes BackupFile meet a lesser file system for the lifetime of the object.
#pragma once

#include "host/BackupFile.h"

namespace sorvo::test {

class ScopedBackupFault {
 public:
  explicit ScopedBackupFault(sorvo::BackupFault fault) { sorvo::SetBackupFaultForTesting(fault); }
  ~ScopedBackupFault() { sorvo::SetBackupFaultForTesting(sorvo::BackupFault::kNone); }
  ScopedBackupFault(const ScopedBackupFault&) = delete;
  ScopedBackupFault& operator=(const ScopedBackupFault&) = delete;
};

}  // namespace sorvo::test
