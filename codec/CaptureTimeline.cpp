#include "codec/CaptureTimeline.h"

#include <cmath>

#include "host/TickCount.h"

namespace sorvo {

void CaptureTimeline::Reset(int frameRate) {
  m_frameRate = frameRate > 0 ? frameRate : 25;
  m_started = false;
  m_moved = false;
  m_anchored = false;
  m_wentBack = false;
  m_previousTime = 0;
  m_previousSlot = -1;
  m_origin.store(0, std::memory_order_relaxed);
}

CaptureTimeline::Placement CaptureTimeline::Place(double time) {
  const bool usable = std::isfinite(time);
  const uint32_t tick = GetTickCount();
  if (!m_started) {
    m_started = true;
    m_previousSlot = 0;
    m_anchored = usable;
    m_previousTick = tick;
    if (usable) {
      m_previousTime = time;
      m_origin.store(time, std::memory_order_relaxed);
    }
    return Placement{true, 0, !usable};
  }
  if (!usable)
    return Count(time, false);
  const double step = time - m_previousTime;
  // Unsigned, so that the clock's wrap after 49 days changes nothing.
  const double passed = static_cast<uint32_t>(tick - m_previousTick) / 1000.0;
  const bool wentBack = step < -kLongestBackStep;
  if (wentBack && !m_wentBack && m_anchored) {
    m_wentBack = true;
    return Placement{false, m_previousSlot, false};
  }
  m_wentBack = false;
  m_previousTime = time;
  m_previousTick = tick;
  if (!m_anchored) {
    // The first time worth following: it takes the next slot, and the grid is laid from it.
    m_anchored = true;
    return Count(time, true);
  }
  if (wentBack || (step > kLongestGap && passed < kStallShare * step))
    return Count(time, true);
  // Until the times have moved once, a time that does not move is no time at all (a host
  // that passes 0 for every picture). After that it is an instant already recorded: a
  // director's camera switch, or the same picture handed over again.
  if (step <= 0 && !m_moved)
    return Count(time, true);
  if (step > 0)
    m_moved = true;

  const double exact = (time - m_origin.load(std::memory_order_relaxed)) * m_frameRate;
  const double next = static_cast<double>(m_previousSlot + 1);
  if (exact < next - kTolerance)
    return Placement{false, m_previousSlot, false};
  // Capture jitter of less than the tolerance keeps pictures in consecutive slots; only a
  // picture further on than that leaves a gap, and it goes to the slot nearest its time.
  m_previousSlot = exact < next + kTolerance ? m_previousSlot + 1 : std::llround(exact);
  return Placement{true, m_previousSlot, false};
}

CaptureTimeline::Placement CaptureTimeline::Follow(double time) {
  const Placement placement = Place(time);
  return placement.encode ? placement : Count(time, false);
}

CaptureTimeline::Placement CaptureTimeline::Count(double time, bool measureFromHere) {
  ++m_previousSlot;
  if (measureFromHere)
    m_origin.store(time - static_cast<double>(m_previousSlot) / m_frameRate,
                   std::memory_order_relaxed);
  return Placement{true, m_previousSlot, true};
}

}  // namespace sorvo
