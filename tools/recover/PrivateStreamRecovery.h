// Recovery of a private stream file: every intact record's picture is offered to the
// stream, in file order; damaged stretches are skipped. The records' packet numbers place
// the pictures in time: a number missing where damaged bytes were stays a gap, but a jump
// that the damage between could not hold (or a number going back) is not believed.
#pragma once

#include <sorvo/sorvo.h>

#include <cstddef>
#include <cstdint>

#include "tools/common/PrivateStreamScanner.h"
#include "tools/recover/PacketSource.h"
#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {

struct PrivateStreamRecovery {
  PrivateStreamCounts records;
  // Records whose header's key flag disagreed with the picture they carry (the picture wins).
  long long keyFlagMismatches = 0;
};

// Adds the file's one video stream to `plan`. `forcedRate`: --fps, or 0.
PrivateStreamRecovery RecoverPrivateStream(const uint8_t* data,
                                           size_t size,
                                           int forcedRate,
                                           RecoveryPlan* plan);

// Whether the bytes look like a private stream file: an intact record within the first
// few records' worth of bytes.
bool LooksLikePrivateStream(const uint8_t* data, size_t size);

// A planned packet's bytes, unstuffed again from the record at its offset.
class PrivateStreamPackets : public PacketSource {
 public:
  PrivateStreamPackets(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Bytes(const PlannedPacket& packet, const uint8_t** data) override;

 private:
  const uint8_t* m_data;
  size_t m_size;
  ParsedRecord m_record;
};

}  // namespace sorvo::tools
