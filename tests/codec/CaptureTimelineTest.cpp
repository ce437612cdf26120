// Where pictures go on a stream's frame-rate grid, by their capture times: the cases a
// session meets (lost pictures, director switches, cameras faster or slower than the
// stream, long sessions) and the host clocks that cannot be followed.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "codec/CaptureTimeline.h"
#include "host/TickCount.h"

namespace {

using sorvo::CaptureTimeline;

std::atomic<uint32_t> g_ticks{0};  // this machine's clock, when a test sets it

// The slots of pictures captured at `times`; -1 for a picture left out.
std::vector<int64_t> Slots(CaptureTimeline& timeline, const std::vector<double>& times) {
  std::vector<int64_t> slots;
  for (double time : times) {
    g_ticks.store(static_cast<uint32_t>(0xFFFFF000u + time * 1000));
    const CaptureTimeline::Placement placed = timeline.Place(time);
    slots.push_back(placed.encode ? placed.slot : -1);
  }
  return slots;
}

std::vector<int64_t> Range(int64_t from, int64_t to) {
  std::vector<int64_t> out;
  for (int64_t i = from; i < to; ++i)
    out.push_back(i);
  return out;
}

TEST(CaptureTimelineTest, RegularTimesTakeOneSlotAfterAnotherWhereverTheClockStands) {
  // A clock far from 0, a grid offset by half a frame, and capture jitter of a third of a
  // frame all give every picture the next slot, as counting them does.
  for (double start : {0.0, 1234.567, 86400.02}) {
    for (double phase : {0.0, 0.5}) {
      CaptureTimeline timeline;
      timeline.Reset(25);
      std::vector<double> times;
      for (int k = 0; k < 1000; ++k)
        times.push_back(start + (k + phase) / 25.0 + (k % 3 - 1) * 0.0133);
      EXPECT_EQ(Slots(timeline, times), Range(0, 1000)) << start << " " << phase;
      EXPECT_NEAR(timeline.origin(), start + phase / 25.0 - 0.0133, 1e-9);
    }
  }
}

TEST(CaptureTimelineTest, LostPicturesLeaveGapsAndLongSessionsNeverDrift) {
  CaptureTimeline timeline;
  timeline.Reset(25);
  std::vector<double> times;
  std::vector<int64_t> expected;
  for (int k = 0; k < 100; ++k) {
    if (k >= 40 && k < 50)
      continue;
    times.push_back(k / 25.0);
    expected.push_back(k);
  }
  EXPECT_EQ(Slots(timeline, times), expected);

  // A camera at 29.97 pictures a second into a 30/s stream for over nine hours: one
  // picture in a thousand falls on the slot after the next, and no picture is ever a
  // frame interval away from its capture time.
  timeline.Reset(30);
  int64_t previous = -1;
  int gaps = 0;
  for (int k = 0; k < 1000000; ++k) {
    const double time = k * 1001 / 30000.0;
    const CaptureTimeline::Placement placed = timeline.Place(time);
    ASSERT_TRUE(placed.encode) << k;
    ASSERT_GT(placed.slot, previous) << k;
    ASSERT_LT(std::fabs(placed.slot / 30.0 - time), 1 / 30.0) << k;
    gaps += placed.slot > previous + 1 ? 1 : 0;
    previous = placed.slot;
  }
  EXPECT_NEAR(gaps, 1000, 2);
}

TEST(CaptureTimelineTest, AnInstantAlreadyPlacedIsLeftOut) {
  // A director switch: the new camera's picture shows the instant the old camera's last
  // picture showed (or one just before it), and is left out; the next instant follows.
  CaptureTimeline timeline;
  timeline.Reset(25);
  EXPECT_EQ(Slots(timeline, {0.00, 0.04, 0.08, 0.08, 0.12, 0.12, 0.08, 0.16, 0.20}),
            (std::vector<int64_t>{0, 1, 2, -1, 3, -1, -1, 4, 5}));

  // A source twice as fast as the stream keeps every other picture: each slot once.
  timeline.Reset(25);
  std::vector<double> times;
  for (int k = 0; k < 100; ++k)
    times.push_back(k / 50.0);
  const std::vector<int64_t> slots = Slots(timeline, times);
  std::set<int64_t> kept;
  for (size_t k = 0; k < slots.size(); ++k) {
    if (slots[k] < 0)
      continue;
    kept.insert(slots[k]);
    EXPECT_LT(std::fabs(slots[k] / 25.0 - times[k]), CaptureTimeline::kTolerance / 25.0) << k;
  }
  EXPECT_EQ(kept.size(), 51u);
  EXPECT_EQ(*kept.rbegin(), 50);
}

TEST(CaptureTimelineTest, ASlowerSourceGivesLongerPictures) {
  CaptureTimeline timeline;
  timeline.Reset(25);
  for (int k = 0; k < 40; ++k) {
    const CaptureTimeline::Placement placed = timeline.Place(k / 10.0);
    ASSERT_TRUE(placed.encode);
    EXPECT_LE(std::fabs(placed.slot - k * 2.5), 0.5 + 1e-9) << k;
  }
}

TEST(CaptureTimelineTest, TimesThatCannotBeFollowedAreCountedAndFollowedFromThere) {
  CaptureTimeline timeline;
  timeline.Reset(25);
  // A host without times: every picture after the one before, as counting them does.
  for (int k = 0; k < 50; ++k) {
    const CaptureTimeline::Placement placed = timeline.Place(0.0);
    EXPECT_TRUE(placed.encode);
    EXPECT_EQ(placed.slot, k);
    EXPECT_EQ(placed.counted, k > 0) << k;
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  timeline.Reset(25);
  // Not a number; a clock set back by a minute (its first picture is taken for one handed
  // over late); a jump of an hour that this machine's clock did not make; each is counted
  // and the times after it are followed again, gaps and all.
  EXPECT_EQ(Slots(timeline, {nan, 1.00, 1.04, nan, 1.12, 1.16, -59.0, -58.96, -58.84, 3541.16,
                             3541.20, 3546.20}),
            (std::vector<int64_t>{0, 1, 2, 3, 4, 5, -1, 6, 9, 10, 11, 136}));

  // A clock that stops after it ran: the same instant again and again is left out, and
  // the last picture stays on screen until the clock moves on.
  timeline.Reset(25);
  EXPECT_EQ(Slots(timeline, {0.00, 0.04, 0.08, 0.08, 0.08, 0.08, 0.08, 0.08, 0.12, 0.20}),
            (std::vector<int64_t>{0, 1, 2, -1, -1, -1, -1, -1, 3, 5}));
}

TEST(CaptureTimelineTest, AStallThisMachineSawIsAGapAndALatePictureMovesNothing) {
  // A camera that stalls for 30 s, on this machine's clock too (which wraps on the way),
  // then hands over a picture made 2 s before the last one.
  sorvo::SetTickSourceForTesting([] { return g_ticks.load(); });
  CaptureTimeline timeline;
  timeline.Reset(25);
  EXPECT_EQ(Slots(timeline, {0.0, 0.04, 30.04, 30.08, 28.08, 30.12}),
            (std::vector<int64_t>{0, 1, 751, 752, -1, 753}));
  sorvo::SetTickSourceForTesting(nullptr);
}

TEST(CaptureTimelineTest, ResetStartsAFreshStream) {
  CaptureTimeline timeline;
  timeline.Reset(25);
  Slots(timeline, {5.0, 5.04, 5.08});
  timeline.Reset(10);
  EXPECT_EQ(Slots(timeline, {2.0, 2.1, 2.3}), (std::vector<int64_t>{0, 1, 3}));
  EXPECT_DOUBLE_EQ(timeline.origin(), 2.0);
}

}  // namespace
