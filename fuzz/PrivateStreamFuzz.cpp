// The private stream's record parser and the scanner that walks a whole file with it.
#include <cstring>
#include <vector>

#include "fuzz/FuzzTargets.h"
#include "sink/PrivateStreamFrame.h"
#include "tools/common/PrivateStreamScanner.h"

namespace sorvo::fuzz {
namespace {

// A record that parses is exactly what the writer makes of its payload: the framing has
// one spelling only, so nothing else may parse.
void CheckRecordIsCanonical(const uint8_t* record, const ParsedRecord& parsed) {
  const std::vector<uint8_t>& payload = parsed.payload;
  std::vector<uint8_t> written(MaxRecordSize(payload.size()));
  const size_t length = PackRecord(written.data(), payload.data(), payload.size());
  Require(parsed.recordLength == length, "the parsed record is as long as the writer's");
  Require(std::memcmp(record, written.data(), length) == 0,
          "a parsed record reads back as the writer would have made it");
}

}  // namespace

long long FuzzPrivateStream(const uint8_t* data, size_t size) {
  ParsedRecord parsed;
  const ParseResult result = ParseRecord(data, size, &parsed);
  if (result == ParseResult::kOk) {
    Require(parsed.recordLength <= size, "a record lies within the bytes given");
    CheckRecordIsCanonical(data, parsed);
  }

  long long packets = 0;
  size_t packetBytes = 0;
  size_t lastOffset = 0;
  const tools::PrivateStreamCounts counts =
      tools::ScanPrivateStream(data, size, [&](const tools::PrivatePacket& packet) {
        Require(packets == 0 || packet.offset > lastOffset, "packets come in file order");
        Require(packet.offset < size && packet.size > 0, "a packet lies within the file");
        Require(packet.header.size == static_cast<int32_t>(packet.size),
                "a packet's header gives its size");
        ParsedRecord again;
        Require(ParseRecord(data + packet.offset, size - packet.offset, &again) ==
                        ParseResult::kOk &&
                    again.payload.size() == packet.size + sizeof(PacketHeader) &&
                    std::memcmp(again.payload.data(), packet.data, packet.size) == 0,
                "a packet is its record's payload, which parses on its own");
        Require(again.recordLength == packet.recordLength, "a packet tells its record's length");
        packetBytes += again.recordLength;
        lastOffset = packet.offset;
        ++packets;
      });
  Require(counts.good == packets, "every good record is handed out once");
  Require(packetBytes + static_cast<size_t>(counts.bytesSkipped) == size,
          "every byte of the file is either in a good record or skipped");
  Require((counts.damaged == 0) == (counts.bytesSkipped == 0),
          "damaged stretches and skipped bytes come together");
  if (result == ParseResult::kOk && parsed.payload.size() > sizeof(PacketHeader)) {
    PacketHeader header;
    std::memcpy(&header, parsed.payload.data() + parsed.payload.size() - sizeof(header),
                sizeof(header));
    if (header.size == static_cast<int32_t>(parsed.payload.size() - sizeof(header)))
      Require(packets > 0, "a file that opens with a good record yields its packet");
  }
  return packets;
}

}  // namespace sorvo::fuzz
