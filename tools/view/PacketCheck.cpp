#include "tools/view/PacketCheck.h"

#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

void PacketCheck::Check(const PacketHeader& header, const uint8_t* data, size_t size) {
  // The running number starts wherever the client joined, then goes up by one.
  if (m_packets > 0 && header.seq != static_cast<int32_t>(static_cast<uint32_t>(m_lastSeq) + 1)) {
    ++m_seqGaps;
    const int32_t jump =
        static_cast<int32_t>(static_cast<uint32_t>(header.seq) - static_cast<uint32_t>(m_lastSeq));
    if (jump > 1) m_missing += jump - 1;
  }
  m_lastSeq = header.seq;
  ++m_packets;
  const bool intra = Mpeg4FirstPictureType(data, size) == Mpeg4PictureType::kIntra;
  if (intra != (header.key != 0)) ++m_keyMismatches;
  if (header.width != m_greeting.width || header.height != m_greeting.height) ++m_sizeMismatches;
}

std::vector<std::string> PacketCheck::Problems() const {
  std::vector<std::string> problems;
  if (m_seqGaps > 0)
    problems.push_back(std::to_string(m_seqGaps) + " jumps in the packet numbers (" +
                       std::to_string(m_missing) + " packets missing)");
  if (m_keyMismatches > 0)
    problems.push_back(std::to_string(m_keyMismatches) +
                       " headers whose key flag does not match their picture");
  if (m_sizeMismatches > 0)
    problems.push_back(std::to_string(m_sizeMismatches) +
                       " headers whose picture size differs from the greeting's");
  return problems;
}

}  // namespace sorvo::tools
