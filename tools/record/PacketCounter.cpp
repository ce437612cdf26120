#include "tools/record/PacketCounter.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace sorvo::tools {

int PacketCounter::OnEncodeData(int id, AVPacket* packet) {
  m_packets.fetch_add(1, std::memory_order_relaxed);
  if (packet != nullptr) m_bytes.fetch_add(packet->size, std::memory_order_relaxed);
  ISorvoData* next = m_next.load();
  return next != nullptr ? next->OnEncodeData(id, packet) : 1;
}

}  // namespace sorvo::tools
