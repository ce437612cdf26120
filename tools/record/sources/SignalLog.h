// What became of a live source's signal: when it was lost and why, when it came back, and
// how many buffers stood in for it or were passed over. A source that keeps connecting and
// dropping is lost thousands of times in a long session: the log keeps the latest losses
// and, of all of them, a count, the first and last and the time lost.
//
// Threads: written by the source's reader and feeder threads, read from any thread;
// m_lock guards everything.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sorvo::tools {

class SignalLog {
 public:
  using Clock = std::chrono::steady_clock;

  struct Loss {
    Clock::time_point lostAt;
    std::optional<Clock::time_point> backAt;  // empty while it is still lost
    std::string why;
  };

  // A loss while the signal is lost already changes nothing.
  void Lost(Clock::time_point at, const std::string& why);
  // Nothing happens while there is a signal.
  void Back(Clock::time_point at);

  bool hasSignal() const;
  // The latest losses, at most kKeptLosses, oldest first.
  static constexpr size_t kKeptLosses = 8;
  std::vector<Loss> Losses() const;

  // Every loss so far.
  struct Tally {
    long long count = 0;
    Clock::time_point firstLostAt;
    Clock::time_point lastLostAt;
    Clock::duration lost{};  // without signal in all, up to `now` for a loss still going on
  };
  Tally tally(Clock::time_point now) const;

  // Buffers made in place of the source's own while it had no signal.
  void CountStandIn();
  long long standIns() const;
  // The source's own buffers that came faster than they could be delivered and gave way to
  // a newer one.
  void CountPassedOver();
  long long passedOver() const;

 private:
  mutable std::mutex m_lock;
  std::vector<Loss> m_losses;  // the latest
  long long m_lossCount = 0;
  Clock::time_point m_firstLostAt;
  Clock::duration m_lostBefore{};  // by the losses no longer kept
  long long m_standIns = 0;
  long long m_passedOver = 0;
};

}  // namespace sorvo::tools
