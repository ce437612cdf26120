#include "tools/record/publish/GopQueue.h"

namespace sorvo::tools {

void GopQueue::CountDropLocked(const EncodedPacket& packet) {
  if (!packet.video)
    return;
  ++m_dropped.pictures;
  m_dropped.seconds += packet.duration;
  if (packet.gop != m_lastDroppedGop) {
    m_lastDroppedGop = packet.gop;
    ++m_dropped.gops;
  }
}

double GopQueue::SpanLocked() const {
  // The pictures' span: sound alone never fills the queue.
  auto first = m_packets.begin();
  while (first != m_packets.end() && !(*first)->video)
    ++first;
  if (first == m_packets.end())
    return 0;
  auto last = m_packets.end() - 1;
  while (!(*last)->video)
    --last;
  return (*last)->seconds + (*last)->duration - (*first)->seconds;
}

void GopQueue::DropFrontLocked() {
  CountDropLocked(*m_packets.front());
  m_bytes -= static_cast<size_t>(m_packets.front()->packet->size);
  m_packets.pop_front();
}

bool GopQueue::DropOldestGopLocked() {
  size_t next = 1;
  while (next < m_packets.size() && !m_packets[next]->key)
    ++next;
  if (next >= m_packets.size())
    return false;
  for (size_t i = 0; i < next; ++i)
    DropFrontLocked();
  return true;
}

void GopQueue::Push(SharedPacket packet) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed)
      return;
    if (m_waitForKey && !packet->key) {
      CountDropLocked(*packet);
      return;
    }
    m_waitForKey = false;
    m_bytes += static_cast<size_t>(packet->packet->size);
    m_packets.push_back(std::move(packet));
    while (FullLocked() && DropOldestGopLocked()) {
    }
    if (FullLocked()) {
      while (!m_packets.empty())
        DropFrontLocked();
      m_waitForKey = true;
    }
  }
  m_ready.notify_one();
}

SharedPacket GopQueue::Pop(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> hold(m_lock);
  m_ready.wait_for(hold, wait, [this] { return !m_packets.empty() || m_closed; });
  if (m_packets.empty())
    return nullptr;
  SharedPacket packet = std::move(m_packets.front());
  m_packets.pop_front();
  m_bytes -= static_cast<size_t>(packet->packet->size);
  return packet;
}

void GopQueue::StartAtKey() {
  std::lock_guard<std::mutex> hold(m_lock);
  size_t newest = m_packets.size();
  for (size_t i = m_packets.size(); i-- > 0;) {
    if (m_packets[i]->key) {
      newest = i;
      break;
    }
  }
  for (size_t i = 0; i < newest; ++i)
    DropFrontLocked();
  if (m_packets.empty())
    m_waitForKey = true;
}

void GopQueue::Close() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
  }
  m_ready.notify_all();
}

void GopQueue::DropAll() {
  std::lock_guard<std::mutex> hold(m_lock);
  while (!m_packets.empty())
    DropFrontLocked();
}

bool GopQueue::closedAndEmpty() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_closed && m_packets.empty();
}

GopQueue::Dropped GopQueue::dropped() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_dropped;
}

double GopQueue::queuedSeconds() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return SpanLocked();
}

}  // namespace sorvo::tools
