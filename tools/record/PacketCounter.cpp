#include "tools/record/PacketCounter.h"

#include "codec/FFEncoder.h"

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/avutil.h>
}

namespace sorvo::tools {

long long PacketCounter::Unencoded(ISorvoSink* sink) const {
  StreamInfo info;
  sink->GetStreamInfo(&info);
  const auto* encoder = dynamic_cast<const FFEncoder*>(sink);
  // Repeats of a picture fill empty slots: they are packets no picture came in for.
  const long long encoded = packets() - (encoder ? encoder->GetRepeatedPictures() : 0);
  return info.framesIn - encoded - (encoder ? encoder->GetLeftOutPictures() : 0);
}

int PacketCounter::OnEncodeData(int id, AVPacket* packet) {
  const long long before = m_packets.fetch_add(1, std::memory_order_relaxed);
  if (packet != nullptr) {
    m_bytes.fetch_add(packet->size, std::memory_order_relaxed);
    if (packet->pts != AV_NOPTS_VALUE && packet->time_base.num > 0 && packet->time_base.den > 0) {
      const double base = av_q2d(packet->time_base);
      m_end.store(static_cast<double>(packet->pts + packet->duration) * base,
                  std::memory_order_relaxed);
      if (packet->flags & AV_PKT_FLAG_KEY) {
        std::lock_guard<std::mutex> hold(m_keysLock);
        m_keys.push_back({static_cast<double>(packet->pts) * base, before});
      }
    }
  }
  ISorvoData* next = m_next.load();
  return next != nullptr ? next->OnEncodeData(id, packet) : 1;
}

long long PacketCounter::PacketsFromKeyAt(double seconds) const {
  std::lock_guard<std::mutex> hold(m_keysLock);
  for (const Key& key : m_keys)
    if (key.seconds >= seconds)
      return packets() - key.ordinal;
  return 0;
}

}  // namespace sorvo::tools
