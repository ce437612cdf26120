// Reads the video stream a sink's server sends: the 80-byte greeting, then for every packet
// its 20-byte header and the packet itself. It knows the byte layout and what makes a
// greeting or a header believable; where the bytes come from (a socket in sorvo-view) is
// the reader callback's business. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class VideoStreamReader {
 public:
  // Fills `buffer` with exactly `size` bytes, or returns false when no more come.
  using ReadExact = std::function<bool(void* buffer, size_t size)>;

  enum class Result {
    kOk,
    kEnded,            // the reader gave no more bytes
    kNotSinkGreeting,  // the greeting does not describe a recording sink's MPEG-4 stream
    kLostFraming,      // a header's packet size cannot be right
  };

  explicit VideoStreamReader(ReadExact read) : m_read(std::move(read)) {}

  // The largest picture a greeting may describe, each way.
  static constexpr int32_t kLargestSide = 5000;
  static bool IsSinkGreeting(const StreamInfo& info);

  Result ReadGreeting(StreamInfo* info);
  // The next header and its packet; on kLostFraming `header` holds the bad header.
  Result ReadPacket(PacketHeader* header, std::vector<uint8_t>* packet);

 private:
  ReadExact m_read;
};

}  // namespace sorvo::tools
