#include "fuzz/PacketSplit.h"

#include <algorithm>

namespace sorvo::fuzz {

std::vector<FuzzPacket> SplitPackets(const uint8_t* data, size_t size, size_t limit) {
  std::vector<FuzzPacket> packets;
  size_t at = 0;
  while (at + 3 <= size && packets.size() < limit) {
    FuzzPacket packet;
    packet.control = data[at];
    const size_t length = data[at + 1] | static_cast<size_t>(data[at + 2]) << 8;
    at += 3;
    packet.data = data + at;
    packet.size = std::min(length, size - at);
    at += packet.size;
    packets.push_back(packet);
  }
  return packets;
}

void AppendPacket(std::vector<uint8_t>* input, uint8_t control, const uint8_t* data,
                  size_t size) {
  const size_t length = std::min<size_t>(size, 0xFFFF);
  input->push_back(control);
  input->push_back(static_cast<uint8_t>(length));
  input->push_back(static_cast<uint8_t>(length >> 8));
  input->insert(input->end(), data, data + length);
}

}  // namespace sorvo::fuzz
