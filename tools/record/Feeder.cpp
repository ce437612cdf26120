#include "tools/record/Feeder.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace sorvo::tools {

Feeder::Feeder(std::unique_ptr<MediaSource> source, IGrabberCallBack* receiver, int id,
               bool dropLate, const SessionClock& clock)
    : m_source(std::move(source)),
      m_receiver(receiver),
      m_id(id),
      m_dropLate(dropLate),
      m_clock(clock) {}

Feeder::~Feeder() { Stop(); }

void Feeder::Start() { m_thread = std::thread(&Feeder::Run, this); }

void Feeder::EndAt(double end) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_end = std::min(m_end, end);
}

void Feeder::Stop() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopping = true;
  }
  m_source->Stop();
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

std::string Feeder::endReason() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_endReason;
}

void Feeder::Run() {
  using Clock = SessionClock::Clock;
  const double period = 1.0 / (m_source->frameRate() > 0 ? m_source->frameRate() : 25);
  // Whether the first buffer went out, and where a capture device's own times stand on the
  // session's clock.
  bool placed = false;
  double deviceOffset = 0;
  std::vector<uint8_t> buffer;
  for (;;) {
    double due = 0;
    if (!m_source->Next(&buffer, &due)) {
      std::lock_guard<std::mutex> hold(m_lock);
      if (!m_stopping) m_endReason = m_source->error();
      return;
    }
    if (!m_source->live()) {
      const Clock::time_point at = m_clock.At(due);
      std::unique_lock<std::mutex> hold(m_lock);
      if (m_wake.wait_until(hold, at, [this] { return m_stopping; }) || due >= m_end)
        return;
      if (m_dropLate && Clock::now() - at > std::chrono::duration<double>(2 * period)) {
        ++m_late;
        continue;
      }
    } else {
      if (m_source->timedOnSteadyClock()) {
        // Its first buffer, whenever it came, opens its timeline with the session's, so that
        // its files are as long as the others and begin with them.
        due = !placed ? 0
                      : m_clock.SecondsAt(Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(due))));
        placed = true;
      } else {
        if (!placed) {
          placed = true;
          deviceOffset = m_clock.Now() - due;
        }
        due += deviceOffset;
      }
      std::lock_guard<std::mutex> hold(m_lock);
      if (m_stopping || due >= m_end)
        return;
    }
    m_receiver->OnBuffer(m_id, due, buffer.data(), static_cast<long>(buffer.size()),
                         m_source->width(), m_source->height(), m_source->pixelFormat());
    ++m_delivered;
  }
}

}  // namespace sorvo::tools
