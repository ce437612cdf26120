// Checks each packet header a sink's server sends against the stream's greeting, the
// previous header and the packet itself: its size, its running number, its key flag and
// its picture size. Counts what does not agree. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class PacketCheck {
 public:
  // The most a packet may hold: the encoder's output buffer.
  static constexpr int32_t kLargestPacket = 2 * 1024 * 1024;

  explicit PacketCheck(const StreamInfo& greeting) : m_greeting(greeting) {}

  // Whether the header's size can be read at all; if not, the stream has lost its framing.
  static bool SizeIsPlausible(const PacketHeader& header) {
    return header.size > 0 && header.size <= kLargestPacket;
  }
  // Looks at one packet and its header.
  void Check(const PacketHeader& header, const uint8_t* data, size_t size);

  long long packets() const { return m_packets; }
  long long seqGaps() const { return m_seqGaps; }
  long long missing() const { return m_missing; }
  long long keyMismatches() const { return m_keyMismatches; }
  long long sizeMismatches() const { return m_sizeMismatches; }
  bool AllGood() const { return m_seqGaps == 0 && m_keyMismatches == 0 && m_sizeMismatches == 0; }
  // One line on each kind of disagreement seen, for the user.
  std::vector<std::string> Problems() const;

 private:
  StreamInfo m_greeting;
  long long m_packets = 0;
  int32_t m_lastSeq = 0;
  long long m_seqGaps = 0;
  long long m_missing = 0;
  long long m_keyMismatches = 0;
  long long m_sizeMismatches = 0;
};

}  // namespace sorvo::tools
