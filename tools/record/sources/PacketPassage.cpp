#include "tools/record/sources/PacketPassage.h"

#include "tools/record/SessionClock.h"

namespace sorvo::tools {

void PacketPassage::Attach(ISorvoSink* sink) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_sink = sink;
  m_attached = true;
  if (!m_keyFrame.empty())
    BeginLocked();
}

void PacketPassage::Start(const SessionClock& clock) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_clock = &clock;
}

void PacketPassage::EndAt(double end) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_end = end;
}

void PacketPassage::Detach() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_sink = nullptr;
  m_clock = nullptr;
}

long long PacketPassage::Connected() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_keyFrame.clear();
  m_begun = false;
  return ++m_connection;
}

void PacketPassage::BeginLocked() {
  m_begun = true;
  m_accepted =
      m_sink->BeginPacketStream(m_keyFrame.data(), static_cast<long>(m_keyFrame.size())) == 1;
  m_keyFrame.clear();
}

void PacketPassage::Take(const std::vector<uint8_t>& packet, bool key) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_begun) {
    // Kept until the sink is there to check it; the packets before it refer to pictures
    // the sink never saw.
    if (key)
      m_keyFrame = packet;
    if (m_sink == nullptr || m_keyFrame.empty())
      return;
    BeginLocked();
  }
  if (!m_accepted || m_sink == nullptr || m_clock == nullptr)
    return;
  const double now = m_clock->Now();
  if (now < m_end)
    m_sink->OnPacket(0, now, packet.data(), static_cast<long>(packet.size()), key ? 1 : 0);
}

void PacketPassage::Lost(long long connection) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (connection != m_connection)
    return;
  if (m_begun && m_accepted && m_sink != nullptr)
    m_sink->EndPacketStream();
  m_begun = false;
  m_keyFrame.clear();
}

bool PacketPassage::accepted() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_accepted;
}

std::string PacketPassage::note() const {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_attached)
    return {};
  return m_accepted ? "its packets are recorded as received, without a second encoding"
                    : "its packets are decoded and encoded again (the library's log says why)";
}

}  // namespace sorvo::tools
