#include "tools/recover/PrivateStreamRecovery.h"

#include <algorithm>

#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

PrivateStreamRecovery RecoverPrivateStream(const uint8_t* data, size_t size,
                                           Mp4Rebuilder* rebuilder) {
  PrivateStreamRecovery recovery;
  // A sink with a server numbers its packets: a missing number stays a gap in time.
  // Without a server every number is 0 and the packets simply follow each other.
  int64_t tick = -1;
  int32_t lastSeq = 0;
  bool first = true;
  recovery.records = ScanPrivateStream(data, size, [&](const PrivatePacket& packet) {
    const bool intra = Mpeg4FirstPictureType(packet.data, packet.size) == Mpeg4PictureType::kIntra;
    if (intra != (packet.header.key != 0)) ++recovery.keyFlagMismatches;
    const int64_t step = first || packet.header.seq <= lastSeq
                             ? 1
                             : static_cast<int64_t>(packet.header.seq) - lastSeq;
    tick += step;
    lastSeq = packet.header.seq;
    first = false;
    rebuilder->Add(packet.data, packet.size, tick);
  });
  return recovery;
}

bool LooksLikePrivateStream(const uint8_t* data, size_t size) {
  // One damaged record at the start is no reason to give up: look a little further.
  const size_t window = std::min<size_t>(size, 8u << 20);
  bool found = false;
  ScanPrivateStream(data, window, [&](const PrivatePacket&) { found = true; });
  return found;
}

}  // namespace sorvo::tools
