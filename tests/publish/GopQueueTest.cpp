// A destination's queue: bounded in time and bytes by dropping whole GOPs from the front,
// starting every connection at a key frame, and never waiting when it pushes.
#include <gtest/gtest.h>

#include <thread>

#include "tools/record/publish/GopQueue.h"

namespace {

using sorvo::tools::EncodedPacket;
using sorvo::tools::GopQueue;
using sorvo::tools::SharedPacket;

constexpr int kFps = 25;
constexpr int kGop = 50;  // two seconds

// Picture n of a 25/s stream with a key frame every 50, `bytes` long.
SharedPacket Picture(int n, int bytes = 1000) {
  auto packet = std::make_shared<EncodedPacket>();
  packet->packet.reset(av_packet_alloc());
  av_new_packet(packet->packet.get(), bytes);
  packet->packet->pts = n;
  packet->timeBase = {1, kFps};
  packet->video = true;
  packet->key = n % kGop == 0;
  packet->gop = n / kGop + 1;
  packet->seconds = static_cast<double>(n) / kFps;
  packet->duration = 1.0 / kFps;
  return packet;
}

SharedPacket Sound(double seconds) {
  auto packet = std::make_shared<EncodedPacket>();
  packet->packet.reset(av_packet_alloc());
  av_new_packet(packet->packet.get(), 300);
  packet->video = false;
  packet->seconds = seconds;
  packet->duration = 1024.0 / 44100;
  return packet;
}

// Pictures `from` to `to` - 1, each followed by the sound of its time.
void PushPictures(GopQueue& queue, int from, int to) {
  for (int n = from; n < to; ++n) {
    queue.Push(Picture(n));
    queue.Push(Sound(static_cast<double>(n) / kFps));
  }
}

std::vector<SharedPacket> PopAll(GopQueue& queue) {
  std::vector<SharedPacket> all;
  while (SharedPacket packet = queue.Pop(std::chrono::milliseconds(0)))
    all.push_back(packet);
  return all;
}

TEST(GopQueueTest, ADestinationThatTakesNothingLosesWholeGopsFromTheFrontNeverMore) {
  GopQueue queue(4.0, 64 << 20);
  // Ten seconds, five GOPs, with nothing taken.
  PushPictures(queue, 0, 250);
  EXPECT_LE(queue.queuedSeconds(), 4.0);
  const GopQueue::Dropped dropped = queue.dropped();
  // The third GOP's first picture pushed the span past four seconds: GOP 1 went; GOP 4's
  // pushed out GOP 2, GOP 5's GOP 3.
  EXPECT_EQ(dropped.gops, 3);
  EXPECT_EQ(dropped.pictures, 150);
  EXPECT_NEAR(dropped.seconds, 6.0, 1e-9);
  const std::vector<SharedPacket> left = PopAll(queue);
  ASSERT_FALSE(left.empty());
  // What is left starts at a key frame and holds the last two GOPs whole, in order, with
  // their sound.
  EXPECT_TRUE(left.front()->key);
  EXPECT_EQ(left.front()->packet->pts, 150);
  int expected = 150;
  for (const SharedPacket& packet : left)
    if (packet->video) {
      EXPECT_EQ(packet->packet->pts, expected++);
    }
  EXPECT_EQ(expected, 250);
  EXPECT_EQ(
      std::count_if(left.begin(), left.end(), [](const SharedPacket& p) { return !p->video; }),
      100);
}

TEST(GopQueueTest, ByteBoundDropsGopsOfLargePictures) {
  // 100 KB pictures: two GOPs are 10 MB, more than the 8 MB allowed.
  GopQueue queue(60.0, 8 << 20);
  for (int n = 0; n < 150; ++n)
    queue.Push(Picture(n, 100000));
  const std::vector<SharedPacket> left = PopAll(queue);
  ASSERT_FALSE(left.empty());
  EXPECT_TRUE(left.front()->key);
  EXPECT_EQ(left.front()->packet->pts, 100);
  EXPECT_EQ(queue.dropped().gops, 2);
}

TEST(GopQueueTest, AGopLongerThanTheQueueGoesAndWhatFollowsUntilTheNextKeyFrame) {
  GopQueue queue(1.0, 64 << 20);
  // 26 pictures of one GOP: longer than a second. They all go, and so do the rest of the
  // GOP's pictures; the next GOP is kept from its key frame.
  PushPictures(queue, 0, 60);
  const std::vector<SharedPacket> left = PopAll(queue);
  ASSERT_FALSE(left.empty());
  EXPECT_TRUE(left.front()->key);
  EXPECT_EQ(left.front()->packet->pts, 50);
  EXPECT_EQ(queue.dropped().gops, 1);
  EXPECT_EQ(queue.dropped().pictures, 50);
}

TEST(GopQueueTest, AConnectionStartsAtTheNewestKeyFrameOrWaitsForTheNext) {
  GopQueue queue(10.0, 64 << 20);
  // Half of GOP 1, GOP 2 whole, a little of GOP 3: a connection made now starts at GOP 3.
  PushPictures(queue, 25, 105);
  queue.StartAtKey();
  std::vector<SharedPacket> left = PopAll(queue);
  ASSERT_FALSE(left.empty());
  EXPECT_EQ(left.front()->packet->pts, 100);
  EXPECT_EQ(queue.dropped().gops, 2);
  EXPECT_EQ(queue.dropped().pictures, 75);

  // Nothing queued but the middle of a GOP: the connection waits for the next key frame,
  // and what comes before it (pictures and sound) is dropped.
  PushPictures(queue, 105, 120);
  PopAll(queue);
  queue.StartAtKey();
  PushPictures(queue, 120, 151);
  left = PopAll(queue);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_TRUE(left.front()->key);
  EXPECT_EQ(left.front()->packet->pts, 150);
  EXPECT_EQ(queue.dropped().pictures, 75 + 30);
  EXPECT_EQ(queue.dropped().gops, 3);
}

TEST(GopQueueTest, CloseHandsOutWhatIsLeftThenEndsAWaitAtOnce) {
  GopQueue queue(10.0, 64 << 20);
  PushPictures(queue, 0, 3);
  std::thread closer([&] { queue.Close(); });
  closer.join();
  EXPECT_FALSE(queue.closedAndEmpty());
  EXPECT_EQ(PopAll(queue).size(), 6u);
  EXPECT_TRUE(queue.closedAndEmpty());
  // A day's wait returns at once once closed and empty.
  EXPECT_EQ(queue.Pop(std::chrono::hours(24)), nullptr);
  // Packets after the end are not taken.
  queue.Push(Picture(50));
  EXPECT_EQ(queue.Pop(std::chrono::milliseconds(0)), nullptr);
}

}  // namespace
