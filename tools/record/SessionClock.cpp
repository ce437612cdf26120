#include "tools/record/SessionClock.h"

#include <algorithm>

namespace sorvo::tools {
namespace {

using Seconds = std::chrono::duration<double>;

SessionClock::Clock::duration Span(double seconds) {
  return std::chrono::duration_cast<SessionClock::Clock::duration>(Seconds(seconds));
}

}  // namespace

SessionClock::SessionClock(double speed)
    : m_speed(speed), m_start(Clock::now()), m_wallAnchor(m_start) {}

SessionClock::Clock::time_point SessionClock::At(double seconds) const {
  if (!simulated())
    return m_start + Span(seconds);
  std::lock_guard<std::mutex> hold(m_lock);
  NowLocked(Clock::now());
  return m_wallAnchor + Span((seconds - m_anchor) / m_speed);
}

double SessionClock::Now() const {
  if (!simulated())
    return Seconds(Clock::now() - m_start).count();
  std::lock_guard<std::mutex> hold(m_lock);
  return NowLocked(Clock::now());
}

double SessionClock::SecondsAt(Clock::time_point at) const {
  return Seconds(at - m_start).count();
}

void SessionClock::Pace(const void* pacer, double due, double lead) const {
  if (!simulated())
    return;
  std::lock_guard<std::mutex> hold(m_lock);
  // The clock as it stood before this pacer moved on: a held clock goes on from there.
  NowLocked(Clock::now());
  m_limits[pacer] = due + lead;
}

void SessionClock::EndPacing(const void* pacer) const {
  if (!simulated())
    return;
  std::lock_guard<std::mutex> hold(m_lock);
  NowLocked(Clock::now());
  m_limits.erase(pacer);
}

double SessionClock::NowLocked(Clock::time_point wall) const {
  double now = m_anchor + m_speed * Seconds(wall - m_wallAnchor).count();
  double limit = std::numeric_limits<double>::infinity();
  for (const auto& [pacer, at] : m_limits)
    limit = std::min(limit, at);
  if (now > limit) {
    // Held where the slowest feeder's buffer is due: from here the clock goes on at its
    // speed once that feeder moves, rather than jumping to where it would have been.
    now = std::max(limit, m_last);
    m_anchor = now;
    m_wallAnchor = wall;
  }
  m_last = std::max(m_last, now);
  return m_last;
}

}  // namespace sorvo::tools
