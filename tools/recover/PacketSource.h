// Where a planned packet's bytes come from when the rescue writes them. One thread.
#pragma once

#include <cstdint>

#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {

class PacketSource {
 public:
  virtual ~PacketSource() = default;
  // Points `data` at the packet's `packet.size` bytes, valid until the next call; false
  // when they cannot be read again.
  virtual bool Bytes(const PlannedPacket& packet, const uint8_t** data) = 0;
};

// Packets that lie in the input as they are, back to back.
class ContiguousPackets : public PacketSource {
 public:
  ContiguousPackets(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Bytes(const PlannedPacket& packet, const uint8_t** data) override {
    if (packet.offset > m_size || packet.size > m_size - packet.offset)
      return false;
    *data = m_data + packet.offset;
    return true;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
};

}  // namespace sorvo::tools
