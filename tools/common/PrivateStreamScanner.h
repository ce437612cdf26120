// Walks through a private stream file (the library's framed packet records) and hands out
// every intact packet. Each record's framing, lengths and checksum are verified and its
// payload must be a packet followed by its 20-byte header with a matching size; a damaged
// stretch is skipped up to the next record start marker, where reading resumes.
#pragma once

#include <sorvo/sorvo.h>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace sorvo::tools {

struct PrivatePacket {
  const uint8_t* data = nullptr;  // valid during the callback only
  size_t size = 0;
  PacketHeader header;
  size_t offset = 0;        // where its record starts in the file
  size_t recordLength = 0;  // bytes of the whole record
};

struct PrivateStreamCounts {
  long long good = 0;
  long long damaged = 0;       // damaged stretches skipped, each counted once
  long long bytesSkipped = 0;  // bytes in those stretches
  bool truncated = false;      // the file ends inside a record
};

PrivateStreamCounts ScanPrivateStream(const uint8_t* data,
                                      size_t size,
                                      const std::function<void(const PrivatePacket&)>& onPacket);

}  // namespace sorvo::tools
