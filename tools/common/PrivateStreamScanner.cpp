#include "tools/common/PrivateStreamScanner.h"

#include <cstring>

namespace sorvo::tools {
namespace {

// A record opens with the frame's C0 C0 and the block's C0 C0; inside a record every C0
// is escaped, so four in a row mark a record start.
size_t FindRecordStart(const uint8_t* data, size_t size, size_t from) {
  while (from + 4 <= size) {
    const void* hit = std::memchr(data + from, sorvo::kFrameStart, size - from);
    if (hit == nullptr)
      return size;
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (at + 4 > size)
      return size;
    if (data[at + 1] == sorvo::kFrameStart && data[at + 2] == sorvo::kFrameStart &&
        data[at + 3] == sorvo::kFrameStart)
      return at;
    from = at + 1;
  }
  return size;
}

}  // namespace

PrivateStreamCounts ScanPrivateStream(const uint8_t* data,
                                      size_t size,
                                      const std::function<void(const PrivatePacket&)>& onPacket) {
  PrivateStreamCounts counts;
  size_t at = FindRecordStart(data, size, 0);
  if (at > 0) {
    ++counts.damaged;
    counts.bytesSkipped += static_cast<long long>(at);
  }
  sorvo::ParsedRecord record;
  // Candidates that fail one after another belong to one damaged stretch.
  bool inDamage = at > 0;
  while (at < size) {
    const sorvo::ParseResult result = sorvo::ParseRecord(data + at, size - at, &record);
    if (result == sorvo::ParseResult::kOk) {
      PrivatePacket packet;
      const size_t payload = record.payload.size();
      if (payload >= sizeof(PacketHeader)) {
        std::memcpy(&packet.header, record.payload.data() + payload - sizeof(PacketHeader),
                    sizeof(PacketHeader));
      }
      if (payload > sizeof(PacketHeader) &&
          packet.header.size == static_cast<int32_t>(payload - sizeof(PacketHeader))) {
        packet.data = record.payload.data();
        packet.size = payload - sizeof(PacketHeader);
        packet.offset = at;
        packet.recordLength = record.recordLength;
        ++counts.good;
        inDamage = false;
        onPacket(packet);
        at += record.recordLength;
        continue;
      }
    }
    // Damaged here, or cut off: go on from the next record start, if there is one.
    const size_t next = FindRecordStart(data, size, at + 1);
    if (next == size && result == sorvo::ParseResult::kNeedMore)
      counts.truncated = true;
    if (!inDamage)
      ++counts.damaged;
    inDamage = true;
    counts.bytesSkipped += static_cast<long long>(next - at);
    at = next;
  }
  return counts;
}

}  // namespace sorvo::tools
