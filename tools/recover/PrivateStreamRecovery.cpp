#include "tools/recover/PrivateStreamRecovery.h"

#include <algorithm>

#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/TextTable.h"
#include "tools/recover/VideoStreamRescue.h"

namespace sorvo::tools {
namespace {

// The shortest record: framing around a 1-byte packet and its 20-byte header.
constexpr size_t kSmallestRecord = 45;

}  // namespace

PrivateStreamRecovery RecoverPrivateStream(const uint8_t* data,
                                           size_t size,
                                           int forcedRate,
                                           RecoveryPlan* plan) {
  PrivateStreamRecovery recovery;
  VideoStreamRescue stream(forcedRate, "the video stream", &plan->doubts);
  // A sink with a server numbers its packets: a missing number stays a gap in time.
  // Without a server every number is 0 and the packets simply follow each other.
  int64_t tick = 0;
  uint32_t lastSeq = 0;
  size_t lastEnd = 0;
  bool first = true;
  recovery.records = ScanPrivateStream(data, size, [&](const PrivatePacket& packet) {
    const bool key = Mpeg4FirstPictureType(packet.data, packet.size) == Mpeg4PictureType::kIntra;
    if (key != (packet.header.key != 0))
      ++recovery.keyFlagMismatches;
    const uint32_t seq = static_cast<uint32_t>(packet.header.seq);
    if (!first && !(seq == 0 && lastSeq == 0)) {
      // Numbers missing between two records were records lost in the damaged bytes
      // between them, so there can be no more than those bytes could hold.
      const uint32_t jump = seq - lastSeq;
      const uint64_t room = 1 + (packet.offset - lastEnd) / kSmallestRecord;
      const uint64_t longest = static_cast<uint64_t>(kHighestFrameRate) * kLongestGapSeconds;
      if (jump >= 1 && jump <= std::min(room, longest)) {
        tick += jump;
      } else {
        plan->doubts.Add("packet number " + std::to_string(seq) + " follows " +
                         std::to_string(lastSeq) + " at byte " +
                         FormatCount(static_cast<long long>(packet.offset)) + " with " +
                         FormatCount(static_cast<long long>(packet.offset - lastEnd)) +
                         " bytes between: not believed, the picture follows the last");
        tick += 1;
      }
    } else if (!first) {
      tick += 1;
    }
    first = false;
    lastSeq = seq;
    lastEnd = packet.offset + packet.recordLength;
    stream.Offer(packet.data, packet.size, packet.offset, key, tick);
  });
  plan->video.push_back(std::move(stream.plan()));
  return recovery;
}

bool LooksLikePrivateStream(const uint8_t* data, size_t size) {
  // One damaged record at the start is no reason to give up: look a little further.
  const size_t window = std::min<size_t>(size, 8u << 20);
  bool found = false;
  ScanPrivateStream(data, window, [&](const PrivatePacket&) { found = true; });
  return found;
}

bool PrivateStreamPackets::Bytes(const PlannedPacket& packet, const uint8_t** data) {
  if (packet.offset >= m_size ||
      ParseRecord(m_data + packet.offset, m_size - packet.offset, &m_record) != ParseResult::kOk ||
      m_record.payload.size() < packet.size)
    return false;
  *data = m_record.payload.data();
  return true;
}

}  // namespace sorvo::tools
