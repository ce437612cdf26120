#include "tools/common/PacketCheck.h"

#include <algorithm>

#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

PacketCheck::PacketCheck(const StreamInfo& greeting)
    : m_greeting(greeting),
      m_longestGap(int64_t{kLongestGapSeconds} * std::max(greeting.frameRate, 1)) {}

PacketCheck::Numbering PacketCheck::Check(const PacketHeader& header,
                                          const uint8_t* data,
                                          size_t size) {
  // A sink numbers every packet it sends, and its server either delivers each one to a
  // client or drops the client; the running number starts wherever the client joined.
  // Taken modulo 2^32, as the sink's count wraps there.
  Numbering numbering = Numbering::kInOrder;
  if (m_packets > 0) {
    const int32_t skipped = static_cast<int32_t>(static_cast<uint32_t>(header.seq) -
                                                 static_cast<uint32_t>(m_lastSeq) - 1u);
    if (skipped < 0 || skipped > m_longestGap)
      return Numbering::kUnbelievable;
    if (skipped > 0) {
      numbering = Numbering::kGap;
      ++m_seqGaps;
      m_missing += skipped;
    }
    m_place += 1 + skipped;
  }
  m_lastSeq = header.seq;
  ++m_packets;
  const bool intra = Mpeg4FirstPictureType(data, size) == Mpeg4PictureType::kIntra;
  if (intra != (header.key != 0))
    ++m_keyMismatches;
  if (header.width != m_greeting.width || header.height != m_greeting.height)
    ++m_sizeMismatches;
  return numbering;
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
