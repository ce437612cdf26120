// Places each picture of a video stream on the stream's frame-rate grid by the time it was
// captured, so that a file keeps the capture clock: a picture lost on the way leaves a gap
// (the picture before it lasts longer), a picture of an instant already recorded is left
// out, and the stream never drifts from the capture clock by a frame interval or more.
//
// Slot 0 is the first picture; slot n is presented n frame intervals after it. The capture
// time of slot 0 is the stream's origin, and slot n stands for origin + n / rate. With
// regular capture times (picture k at about origin + k / rate) every picture takes the
// next slot, exactly as counting them would.
//
// A picture captured within kTolerance frame intervals of the slot after the previous
// picture's takes that slot, so that capture jitter changes nothing. One captured later
// than that takes the slot nearest its time, leaving a gap. One captured earlier than that
// shows an instant already recorded and is left out (a director switching to a camera
// that shows the same instant again, or a source faster than the stream's rate). So no
// picture is placed as much as kTolerance frame intervals from its capture time.
//
// A picture more than kLongestBackStep before the previous one is left out as well: a
// picture that a source handed over late, with the time it was made. Only when the next
// picture is that far back too has the clock itself gone back (a clock that was set), and
// from that picture on the grid follows the new times.
//
// Times the grid cannot follow are counted instead: the picture takes the next slot and
// the origin moves so that the times after it are measured from there. Such a time is one
// that is not a number, the second of two in a row more than kLongestBackStep before the
// last followed one, one more than kLongestGap after the previous one that this machine's
// clock did not see pass (a clock that was set, or times in another unit), and one equal to
// or before the previous picture's while the times have not yet moved forward (a host that
// passes 0 for every picture). A longer jump that did pass here is a stall, and the grid
// keeps it as a gap: whatever happened, a file never moves against the capture clock. Once
// the times have moved, a time that stands still shows an instant already recorded: a
// picture handed over again is left out, and a clock that stops leaves the last picture on
// screen until it moves again.
//
// Threads: Place and Reset on the encoding thread; origin() on any thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace sorvo {

class CaptureTimeline {
 public:
  // A picture more than this many seconds before the previous one is left out; the second
  // in a row is counted, not timed.
  static constexpr double kLongestBackStep = 1.0;
  // A capture pause of up to this many seconds is kept as a gap whatever this machine's
  // clock says; a larger jump only when at least kStallShare of it passed on this machine's
  // clock too, else it is taken for a clock that was set or for times in another unit.
  static constexpr double kLongestGap = 10.0;
  static constexpr double kStallShare = 0.5;
  // How far, in frame intervals, a picture may be placed from its capture time.
  static constexpr double kTolerance = 0.75;

  struct Placement {
    bool encode = false;   // false: the instant is already recorded; leave the picture out
    int64_t slot = 0;      // the picture's slot when encoded
    bool counted = false;  // the time could not be followed; the slot is the next one
  };

  // Starts a new stream of `frameRate` pictures per second; the next picture is slot 0.
  void Reset(int frameRate);
  // Where the picture captured at `time` (seconds) goes. Reads this machine's clock
  // (GetTickCount, which tests may replace).
  Placement Place(double time);
  // Where a picture that cannot be left out goes (a packet encoded elsewhere, which the
  // packets after it refer to): as Place says, or the next slot where Place would leave
  // it out.
  Placement Follow(double time);
  // The capture time of slot 0, in the clock of the times given to Place; 0 before the
  // first picture.
  double origin() const { return m_origin.load(std::memory_order_relaxed); }

 private:
  Placement Count(double time, bool measureFromHere);

  double m_frameRate = 25;
  bool m_started = false;
  bool m_moved = false;         // the times have moved forward at least once
  bool m_anchored = false;      // m_origin comes from a usable time
  bool m_wentBack = false;      // the last picture was left out as far back
  double m_previousTime = 0;    // the last followed picture's time, placed or left out
  uint32_t m_previousTick = 0;  // this machine's clock then, in milliseconds
  int64_t m_previousSlot = -1;  // the last placed picture's slot
  std::atomic<double> m_origin{0};
};

}  // namespace sorvo
