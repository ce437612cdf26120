// Delivers a source's buffers to one of the library's frame receivers on a thread of its
// own, each when it is due: a camera's pictures to its recording sink, the sound to the
// audio sink. A capture device's buffers go out as soon as they are read.
//
// Each buffer goes with its capture time on the session's clock: a source's buffer due at
// `due` seconds is due `due` seconds after the session started (every source starts with
// the session), a capture device's times are moved onto the session's clock where its
// first buffer arrives, and a network source's, on the steady clock, are put on it as they
// are, its first buffer at the session's start whenever it came.
//
// On a simulated clock a source's buffers also pace the clock (SessionClock::Pace), so that
// a machine slower than the simulated speed delays the session rather than drop pictures.
//
// A picture more than two frame periods late is not delivered (counted as late), so that a
// slow machine falls behind by pictures, not by ever-growing delay; sound is never dropped.
// When the session ends before a camera's last pictures arrive, its last one is given
// again just before the end, so that its files last the session.
//
// Pictures are written where the sink lends a buffer for them, once they are due: the
// source draws or converts each straight into the buffer the sink encodes. When none can be
// lent (every buffer lent or being encoded, the sink closed) or the one lent is too small,
// the picture is written into the feeder's own buffer and handed to OnBuffer, as without a
// lender: the sink counts it and gives it up or refuses it as it would any copy. Nothing
// waits for a buffer.
//
// Threads: Start, Stop and the destructor on the control thread; the counters may be read
// from any thread. The receiver must outlive Stop (the destructor stops).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/record/PictureLender.h"
#include "tools/record/SessionClock.h"
#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class Feeder {
 public:
  // Pictures taken by the session's encoders but not yet encoded, as the most any one of
  // them holds; called on the feeder's thread.
  using Backlog = std::function<long long()>;

  // `id` is passed with every buffer; `dropLate` is for pictures, which a lender in
  // `input` lends buffers for. The clock must outlive Stop. With a `backlog` (simulated
  // time), a picture waits while the encoders hold kMostBacklog pictures: a sink's queue
  // that overflowed would lose it, while waiting holds the simulated clock. Real time
  // cannot wait, and takes none.
  Feeder(std::unique_ptr<MediaSource> source,
         PictureInput input,
         int id,
         bool dropLate,
         const SessionClock& clock,
         Backlog backlog = nullptr);
  ~Feeder();
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  void Start();
  // Delivers no buffer due at or after `end` seconds on the session's clock. Given to every
  // feeder of a session before any stops, so that the cameras and the sound end at one
  // instant however long stopping each of them takes.
  void EndAt(double end);
  // Stops the source and waits for the thread; safe to repeat.
  void Stop();

  const MediaSource& source() const { return *m_source; }
  long long delivered() const { return m_delivered.load(); }
  long long late() const { return m_late.load(); }

  static constexpr long long kMostBacklog = 2;
  static constexpr std::chrono::milliseconds kBacklogPatience{200};
  // Why the source ended before Stop; empty while it runs or when it was stopped.
  std::string endReason() const;

 private:
  // The thread: Feed, then the clock is no longer paced by this feeder.
  void Run();
  void Feed();
  // The source's next buffer: a picture only announced when there is a lender.
  bool Next(std::vector<uint8_t>* buffer, double* due);
  // Hands the buffer at `due` on: `buffer`, or the announced picture written where the
  // lender lends. False when the picture could not be made.
  bool Deliver(std::vector<uint8_t>* buffer, double due);
  // Once stopped at the end: gives the last buffer delivered, at `lastDue`, again a
  // picture `period` before the end when nothing reached that far.
  void HoldToEnd(std::vector<uint8_t>* last, double lastDue, double period);
  // Waits while the encoders are behind; gives up on pictures a sink let go (which never
  // will be encoded) once the backlog has not fallen for kBacklogPatience.
  void WaitForEncoders();
  // Seconds between the source's buffers.
  double Period() const;

  std::unique_ptr<MediaSource> m_source;
  IGrabberCallBack* m_receiver;
  PictureLender* m_lender;  // null: every buffer is copied by the receiver
  const int m_id;
  const bool m_dropLate;
  const SessionClock& m_clock;
  const Backlog m_backlog;
  long long m_mostBacklog = kMostBacklog;  // raised by pictures a sink let go
  std::thread m_thread;
  mutable std::mutex m_lock;  // guards m_stopping, m_end and m_endReason; m_wake waits on it
  std::condition_variable m_wake;
  bool m_stopping = false;
  double m_end = std::numeric_limits<double>::infinity();
  std::string m_endReason;
  std::atomic<long long> m_delivered{0};
  std::atomic<long long> m_late{0};
};

}  // namespace sorvo::tools
