// Reads the video stream a sink's server sends: the 80-byte greeting, then for every packet
// its 20-byte header and the packet itself. It knows the byte layout and what makes a
// greeting or a header believable; where the bytes come from (a socket in sorvo-view) is
// the reader callback's business. One thread.
#pragma once

#include <sorvo/sorvo.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sorvo::tools {

class VideoStreamReader {
 public:
  // Fills `buffer` with `size` bytes, or fewer when no more come; returns how many.
  using ReadExact = std::function<size_t(void* buffer, size_t size)>;

  enum class Result {
    kOk,
    kEnded,            // no more bytes came, at the start of a greeting or header
    kNotSinkGreeting,  // the greeting does not describe a recording sink's MPEG-4 stream
    kLostFraming,      // a header's packet size cannot be right
    kCutHeader,        // the bytes ended inside a header
    kCutPacket,        // the bytes ended inside a packet
  };

  explicit VideoStreamReader(ReadExact read) : m_read(std::move(read)) {}

  // What a recording sink describes: the largest picture each way and its frame rates.
  static constexpr int32_t kLargestSide = 5000;
  static constexpr int32_t kSlowestRate = 1;
  static constexpr int32_t kFastestRate = 35;
  // Why the greeting cannot be a recording sink's stream description; empty when it can.
  static std::string GreetingFault(const StreamInfo& info);

  // A greeting cut short is kEnded: nothing of the stream has arrived.
  Result ReadGreeting(StreamInfo* info);
  // The next header and its packet. On kLostFraming `header` holds the bad header; on
  // kCutPacket `header` is whole and `packet` holds the bytes of it that arrived.
  Result ReadPacket(PacketHeader* header, std::vector<uint8_t>* packet);
  // After kCutHeader or kCutPacket: the bytes of the header or packet that arrived.
  size_t arrived() const { return m_arrived; }

 private:
  ReadExact m_read;
  size_t m_arrived = 0;
};

}  // namespace sorvo::tools
