// The one clock of a recording session. Every feeder stamps its buffers with seconds on
// it, so that the library sees the same capture time for pictures of the same instant from
// every camera and for the sound played with them; the files keep that time.
//
// A session of test sources may run on simulated time (tests and benchmarks only): its
// seconds then pass `speed` times faster than real ones. A machine that cannot keep up
// must not lose pictures to it, so the simulated clock is paced by the feeders: each says
// which buffer it waits for (Pace), and the clock never runs more than that buffer's lead
// past the latest due of the slowest one; a speed the machine cannot hold just runs slower.
//
// Threads: made on the control thread before any feeder starts; read from any thread.
// m_lock guards the anchors and the pacers (simulated time only: real time reads no lock).
#pragma once

#include <chrono>
#include <limits>
#include <map>
#include <mutex>

namespace sorvo::tools {

class SessionClock {
 public:
  using Clock = std::chrono::steady_clock;

  // The session starts now: 0 seconds; its seconds pass `speed` times as fast as real ones.
  explicit SessionClock(double speed = 1);

  // The moment (on the steady clock) the session reaches `seconds`, as the clock stands.
  Clock::time_point At(double seconds) const;
  // Seconds since the start.
  double Now() const;
  // Seconds from the start to `at`; negative before it. Real time only: a simulated clock
  // has no fixed mapping to past moments.
  double SecondsAt(Clock::time_point at) const;
  bool simulated() const { return m_speed != 1; }

  // A feeder's buffer due at `due` seconds is the next it hands on: the clock goes no
  // further than `due + lead` until it says the next (simulated time only; a no-op in
  // real time). `pacer` is any key of the feeder's own.
  void Pace(const void* pacer, double due, double lead) const;
  // The feeder has ended and paces the clock no more.
  void EndPacing(const void* pacer) const;

 private:
  // Now() with m_lock held: holds the clock at the pacers' limit, moving its anchors there.
  double NowLocked(Clock::time_point wall) const;

  const double m_speed;
  const Clock::time_point m_start;
  mutable std::mutex m_lock;
  mutable Clock::time_point m_wallAnchor;          // the steady moment of m_anchor
  mutable double m_anchor = 0;                     // session seconds at m_wallAnchor
  mutable double m_last = 0;                       // the latest Now(), which never goes back
  mutable std::map<const void*, double> m_limits;  // each pacer's due + lead
};

}  // namespace sorvo::tools
