#include "tools/view/VideoStreamReader.h"

#include "tools/view/PacketCheck.h"

namespace sorvo::tools {

bool VideoStreamReader::IsSinkGreeting(const StreamInfo& info) {
  return info.codecId == kStreamInfoCodecMpeg4 && info.width > 0 && info.height > 0 &&
         info.width <= kLargestSide && info.height <= kLargestSide;
}

VideoStreamReader::Result VideoStreamReader::ReadGreeting(StreamInfo* info) {
  if (!m_read(info, sizeof(*info)))
    return Result::kEnded;
  return IsSinkGreeting(*info) ? Result::kOk : Result::kNotSinkGreeting;
}

VideoStreamReader::Result VideoStreamReader::ReadPacket(PacketHeader* header,
                                                        std::vector<uint8_t>* packet) {
  if (!m_read(header, sizeof(*header)))
    return Result::kEnded;
  // The size is checked before anything is allocated for the packet.
  if (!PacketCheck::SizeIsPlausible(*header))
    return Result::kLostFraming;
  packet->resize(static_cast<size_t>(header->size));
  return m_read(packet->data(), packet->size()) ? Result::kOk : Result::kEnded;
}

}  // namespace sorvo::tools
