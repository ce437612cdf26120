#include "tools/record/PacketCounter.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
}

namespace sorvo::tools {

int PacketCounter::OnEncodeData(int id, AVPacket* packet) {
  m_packets.fetch_add(1, std::memory_order_relaxed);
  if (packet != nullptr) {
    m_bytes.fetch_add(packet->size, std::memory_order_relaxed);
    if (packet->pts != AV_NOPTS_VALUE && packet->time_base.num > 0 && packet->time_base.den > 0)
      m_end.store(static_cast<double>(packet->pts + packet->duration) * packet->time_base.num /
                      packet->time_base.den,
                  std::memory_order_relaxed);
  }
  ISorvoData* next = m_next.load();
  return next != nullptr ? next->OnEncodeData(id, packet) : 1;
}

}  // namespace sorvo::tools
