// The publisher's feed as one tap in the recorder's chain: the next receiver takes each
// buffer first and its answer stands; then the publisher gets the pictures (YUV 4:2:0 only)
// and the sound, with their capture times.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/record/publish/GrabberFeed.h"

namespace {

using sorvo::tools::GrabberFeed;
using sorvo::tools::ProgramInput;

// What the chain saw, in order.
std::vector<std::string> g_seen;

class Sink : public IGrabberCallBack {
 public:
  explicit Sink(int answer) : m_answer(answer) {}
  int OnBuffer(int, double, unsigned char*, long, int, int, PixelFormat) override {
    g_seen.push_back("sink");
    return m_answer;
  }

 private:
  const int m_answer;
};

class Input : public ProgramInput {
 public:
  void OnPicture(double time, const uint8_t* data, size_t length, int width, int height) override {
    g_seen.push_back("picture");
    lastTime = time;
    lastData = data;
    lastLength = length;
    lastWidth = width;
    lastHeight = height;
  }
  void OnSound(double time, const int16_t*, int frames) override {
    g_seen.push_back("sound");
    lastTime = time;
    lastFrames = frames;
  }

  double lastTime = -1;
  const uint8_t* lastData = nullptr;
  size_t lastLength = 0;
  int lastWidth = 0;
  int lastHeight = 0;
  int lastFrames = 0;
};

TEST(GrabberFeedTest, TheRecordingTakesThePictureFirstAndItsAnswerStands) {
  g_seen.clear();
  Input input;
  Sink sink(0);
  const auto feed = GrabberFeed::Pictures(input, &sink);
  unsigned char picture[6] = {};
  EXPECT_EQ(feed->OnBuffer(3, 2.25, picture, 6, 2, 2, PIX_FMT_YUV420P), 0);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"sink", "picture"}));
  EXPECT_EQ(input.lastTime, 2.25);
  EXPECT_EQ(input.lastData, picture);
  EXPECT_EQ(input.lastLength, 6u);
  EXPECT_EQ(input.lastWidth, 2);
  EXPECT_EQ(input.lastHeight, 2);

  // Other layouts and empty buffers reach the recording only.
  g_seen.clear();
  EXPECT_EQ(feed->OnBuffer(3, 2.29, picture, 6, 2, 1, PIX_FMT_RGB24), 0);
  EXPECT_EQ(feed->OnBuffer(3, 2.33, nullptr, 0, 2, 2, PIX_FMT_YUV420P), 0);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"sink", "sink"}));

  // At the end of a chain (the director's grabber target) it answers for itself.
  const auto last = GrabberFeed::Pictures(input, nullptr);
  EXPECT_EQ(last->OnBuffer(0, 0.5, picture, 6, 2, 2, PIX_FMT_YUV420P), 1);
}

TEST(GrabberFeedTest, SoundIsCountedInFramesOfItsChannels) {
  g_seen.clear();
  Input input;
  Sink sink(1);
  const auto feed = GrabberFeed::Sound(input, 2, &sink);
  int16_t samples[2 * 441] = {};
  EXPECT_EQ(feed->OnBuffer(0, 1.5, reinterpret_cast<unsigned char*>(samples), sizeof(samples), 0, 0,
                           PIX_FMT_NONE),
            1);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"sink", "sound"}));
  EXPECT_EQ(input.lastFrames, 441);
  EXPECT_EQ(input.lastTime, 1.5);
}

}  // namespace
