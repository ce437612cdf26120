#include "tools/common/VideoStreamReader.h"

#include "tools/common/PacketCheck.h"

namespace sorvo::tools {

std::string VideoStreamReader::GreetingFault(const StreamInfo& info) {
  if (info.codecId != kStreamInfoCodecMpeg4)
    return "its codec " + std::to_string(info.codecId) + " is not MPEG-4 Part 2 (" +
           std::to_string(kStreamInfoCodecMpeg4) + ")";
  if (info.width <= 0 || info.height <= 0 || info.width > kLargestSide ||
      info.height > kLargestSide)
    return "its picture size " + std::to_string(info.width) + "x" + std::to_string(info.height) +
           " is outside 1 to " + std::to_string(kLargestSide) + " each way";
  // Every time in a file the viewer writes is counted in pictures at this rate.
  if (info.frameRate < kSlowestRate || info.frameRate > kFastestRate)
    return "its frame rate " + std::to_string(info.frameRate) + " is outside " +
           std::to_string(kSlowestRate) + " to " + std::to_string(kFastestRate) +
           " pictures per second";
  return "";
}

VideoStreamReader::Result VideoStreamReader::ReadGreeting(StreamInfo* info) {
  if (m_read(info, sizeof(*info)) != sizeof(*info))
    return Result::kEnded;
  return GreetingFault(*info).empty() ? Result::kOk : Result::kNotSinkGreeting;
}

VideoStreamReader::Result VideoStreamReader::ReadPacket(PacketHeader* header,
                                                        std::vector<uint8_t>* packet) {
  m_arrived = m_read(header, sizeof(*header));
  if (m_arrived == 0)
    return Result::kEnded;
  if (m_arrived != sizeof(*header))
    return Result::kCutHeader;
  // The size is checked before anything is allocated for the packet.
  if (!PacketCheck::SizeIsPlausible(*header))
    return Result::kLostFraming;
  packet->resize(static_cast<size_t>(header->size));
  m_arrived = m_read(packet->data(), packet->size());
  if (m_arrived == packet->size())
    return Result::kOk;
  packet->resize(m_arrived);
  return Result::kCutPacket;
}

}  // namespace sorvo::tools
