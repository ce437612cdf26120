// Recovery of a private stream file: every intact record's packet goes into the MP4, in
// file order; damaged stretches are skipped.
#pragma once

#include <string>

#include "tools/common/PrivateStreamScanner.h"
#include "tools/recover/Mp4Rebuilder.h"

namespace sorvo::tools {

struct PrivateStreamRecovery {
  PrivateStreamCounts records;
  // Records whose header's key flag disagreed with the picture they carry (the picture wins).
  long long keyFlagMismatches = 0;
};

PrivateStreamRecovery RecoverPrivateStream(const uint8_t* data, size_t size,
                                           Mp4Rebuilder* rebuilder);

// Whether the bytes look like a private stream file: an intact record within the first
// few records' worth of bytes.
bool LooksLikePrivateStream(const uint8_t* data, size_t size);

}  // namespace sorvo::tools
