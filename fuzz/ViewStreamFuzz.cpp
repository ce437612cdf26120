// What sorvo-view does with the bytes a server sends: the greeting, then header and packet
// pairs checked against the greeting and each other, each packet's picture type looked up.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/ExactCopy.h"
#include "fuzz/FuzzTargets.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/PacketCheck.h"
#include "tools/common/VideoStreamReader.h"

namespace sorvo::fuzz {

long long FuzzViewStream(const uint8_t* data, size_t size) {
  size_t at = 0;
  tools::VideoStreamReader reader([&](void* buffer, size_t wanted) {
    const size_t given = std::min(wanted, size - at);
    std::memcpy(buffer, data + at, given);
    at += given;
    return given;
  });
  StreamInfo info;
  const tools::VideoStreamReader::Result greeting = reader.ReadGreeting(&info);
  if (greeting != tools::VideoStreamReader::Result::kOk)
    return 0;
  constexpr int32_t kLargest = tools::VideoStreamReader::kLargestSide;
  Require(info.width > 0 && info.height > 0 && info.width <= kLargest && info.height <= kLargest,
          "an accepted greeting describes a picture the viewer can open");
  Require(info.frameRate >= tools::VideoStreamReader::kSlowestRate &&
              info.frameRate <= tools::VideoStreamReader::kFastestRate,
          "an accepted greeting gives a frame rate times can be counted in");

  tools::PacketCheck check(info);
  std::vector<uint8_t> packet;
  long long packets = 0;
  for (;;) {
    PacketHeader header;
    const tools::VideoStreamReader::Result read = reader.ReadPacket(&header, &packet);
    if (read == tools::VideoStreamReader::Result::kLostFraming) {
      Require(!tools::PacketCheck::SizeIsPlausible(header), "framing is lost on a bad size");
      break;
    }
    if (read == tools::VideoStreamReader::Result::kCutPacket) {
      Require(packet.size() == reader.arrived() && packet.size() < static_cast<size_t>(header.size),
              "a cut packet holds what arrived of it");
      break;
    }
    if (read != tools::VideoStreamReader::Result::kOk)
      break;
    Require(packet.size() == static_cast<size_t>(header.size), "a packet has its header's size");
    const std::unique_ptr<uint8_t[]> exact = ExactCopy(packet.data(), packet.size());
    const int64_t place = check.place();
    const tools::PacketCheck::Numbering numbering = check.Check(header, exact.get(), packet.size());
    tools::Mpeg4DecoderConfig(exact.get(), packet.size());
    if (numbering == tools::PacketCheck::Numbering::kUnbelievable) {
      Require(check.place() == place, "an unbelievable number places nothing");
      break;
    }
    Require(packets == 0 || (check.place() > place &&
                             check.place() - place <= 1 + tools::PacketCheck::kLongestGapSeconds *
                                                              int64_t{info.frameRate}),
            "each packet is placed after the one before, at most the longest gap further on");
    ++packets;
  }
  Require(check.packets() == packets, "every packet is checked once");
  Require(check.missing() >= 0 && check.seqGaps() <= packets, "the counts add up");
  Require(check.AllGood() == check.Problems().empty(), "problems are listed when there are some");
  return packets;
}

}  // namespace sorvo::fuzz
