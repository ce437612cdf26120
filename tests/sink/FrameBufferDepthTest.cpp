#include <gtest/gtest.h>

#include "sink/FrameBufferDepth.h"

namespace {

constexpr int64_t kMiB = 1 << 20;

TEST(FrameBufferDepthTest, TheAskedDepthIsKeptWithinItsBoundsAndSaidWhenNot) {
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(5, 3 * kMiB, -1).count, 5);
  EXPECT_TRUE(sorvo::ChooseFrameBufferDepth(5, 3 * kMiB, -1).note.empty());
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(2, 3 * kMiB, -1).count, 2);
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(250, kMiB, 1000 * kMiB).count, 250);
  for (int asked : {1, 0, -4}) {
    const sorvo::FrameBufferDepth depth = sorvo::ChooseFrameBufferDepth(asked, kMiB, -1);
    EXPECT_EQ(depth.count, sorvo::kLeastFrameBuffers) << asked;
    EXPECT_NE(depth.note.find("FrameBuffers=" + std::to_string(asked) + " is outside 2 to 250"),
              std::string::npos)
        << depth.note;
  }
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(100000, 1, -1).count, sorvo::kMostFrameBuffers);
}

TEST(FrameBufferDepthTest, ADeeperPoolTakesAtMostHalfOfTheFreeMemoryButNeverLessThanFive) {
  // 40 buffers of 3 MiB are 120 MiB: within half of 300 MiB, not of 200 MiB.
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(40, 3 * kMiB, 300 * kMiB).count, 40);
  const sorvo::FrameBufferDepth cut = sorvo::ChooseFrameBufferDepth(40, 3 * kMiB, 200 * kMiB);
  EXPECT_EQ(cut.count, 33);
  EXPECT_EQ(cut.note, "FrameBuffers=40 would take 120 MB and only 200 MB are free; 33 are used");
  // The default depth is what the pool always had: it is not checked against memory.
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(40, 3 * kMiB, 10 * kMiB).count, 5);
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(5, 3 * kMiB, 0).count, 5);
  // Memory that cannot be known limits nothing.
  EXPECT_EQ(sorvo::ChooseFrameBufferDepth(40, 3 * kMiB, -1).count, 40);
}

}  // namespace
