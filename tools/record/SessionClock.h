// The one clock of a recording session. Every feeder stamps its buffers with seconds on
// it, so that the library sees the same capture time for pictures of the same instant from
// every camera and for the sound played with them; the files keep that time.
//
// Threads: made on the control thread before any feeder starts; read from any thread.
#pragma once

#include <chrono>

namespace sorvo::tools {

class SessionClock {
 public:
  using Clock = std::chrono::steady_clock;

  // The session starts now: 0 seconds.
  SessionClock() : m_start(Clock::now()) {}

  // The moment `seconds` after the start.
  Clock::time_point At(double seconds) const {
    return m_start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  }
  // Seconds since the start.
  double Now() const { return std::chrono::duration<double>(Clock::now() - m_start).count(); }
  // Seconds from the start to `at`; negative before it.
  double SecondsAt(Clock::time_point at) const {
    return std::chrono::duration<double>(at - m_start).count();
  }

 private:
  const Clock::time_point m_start;
};

}  // namespace sorvo::tools
