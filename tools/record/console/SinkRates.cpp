#include "tools/record/console/SinkRates.h"

namespace sorvo::tools {

void SinkRates::Update(const ConsoleSnapshot& snapshot) {
  for (const SinkStatus& sink : snapshot.sinks) {
    const Sample now{snapshot.seconds, sink.packets, sink.bytes};
    auto last = m_last.find(sink.name);
    if (last == m_last.end()) {
      m_last[sink.name] = now;
      continue;
    }
    const double span = now.seconds - last->second.seconds;
    if (span < m_minimumSpan)
      continue;
    SinkRate& rate = m_rates[sink.name];
    rate.framesPerSecond = static_cast<double>(now.packets - last->second.packets) / span;
    rate.bitsPerSecond = 8.0 * static_cast<double>(now.bytes - last->second.bytes) / span;
    last->second = now;
  }
}

SinkRate SinkRates::Of(const std::string& sink) const {
  auto rate = m_rates.find(sink);
  return rate == m_rates.end() ? SinkRate() : rate->second;
}

}  // namespace sorvo::tools
