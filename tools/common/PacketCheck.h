// Checks each packet header a sink's server sends against the stream's greeting, the
// previous header and the packet itself: its size, its running number, its key flag and
// its picture size. Counts what does not agree, and places each packet in the stream's
// time by its number. One thread.
#pragma once

#include <sorvo/sorvo.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvo::tools {

class PacketCheck {
 public:
  // The most a packet may hold: the encoder's output buffer.
  static constexpr int32_t kLargestPacket = 2 * 1024 * 1024;
  // The longest run of missing packets, in seconds of pictures, taken as packets lost on the
  // way; a longer jump says the numbers themselves are wrong.
  static constexpr int kLongestGapSeconds = 10;

  // `greeting` has a frame rate of at least 1 (the reader's check).
  explicit PacketCheck(const StreamInfo& greeting);

  // Whether the header's size can be read at all; if not, the stream has lost its framing.
  static bool SizeIsPlausible(const PacketHeader& header) {
    return header.size > 0 && header.size <= kLargestPacket;
  }

  // What a header's running number says about the packets between it and the one before.
  enum class Numbering {
    kInOrder,       // the next number, or the first header
    kGap,           // some packets are missing: the packet is placed after them
    kUnbelievable,  // back, repeated, or further on than any loss explains
  };
  // Looks at one packet and its header. An unbelievable number leaves the count and the
  // place as they were: nothing after it can be placed in time.
  Numbering Check(const PacketHeader& header, const uint8_t* data, size_t size);

  long long packets() const { return m_packets; }
  long long seqGaps() const { return m_seqGaps; }
  long long missing() const { return m_missing; }
  long long keyMismatches() const { return m_keyMismatches; }
  long long sizeMismatches() const { return m_sizeMismatches; }
  // The number of the last packet checked.
  int32_t lastSeq() const { return m_lastSeq; }
  // Where the last packet checked belongs, in pictures since the first one, the missing
  // ones counted.
  int64_t place() const { return m_place; }
  bool AllGood() const { return m_seqGaps == 0 && m_keyMismatches == 0 && m_sizeMismatches == 0; }
  // One line on each kind of disagreement seen, for the user.
  std::vector<std::string> Problems() const;

 private:
  StreamInfo m_greeting;
  int64_t m_longestGap;
  long long m_packets = 0;
  int32_t m_lastSeq = 0;
  int64_t m_place = 0;
  long long m_seqGaps = 0;
  long long m_missing = 0;
  long long m_keyMismatches = 0;
  long long m_sizeMismatches = 0;
};

}  // namespace sorvo::tools
