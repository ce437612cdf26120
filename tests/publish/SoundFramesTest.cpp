// The session's PCM turned into AAC-sized frames placed by capture time: continuous while
// the buffers keep to their times, a gap where sound was lost, nothing sent twice when
// the times go back, and other rates converted.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tools/record/publish/SoundFrames.h"

namespace {

using sorvo::FramePtr;
using sorvo::tools::SoundFrames;

constexpr int kBuffer = 1152;
constexpr int kFrame = 1024;

std::vector<int16_t> Ramp(int frames, int channels, int start) {
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      pcm[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>((start + i) % 20000);
  return pcm;
}

struct Out {
  std::vector<int64_t> pts;
  std::vector<float> first;  // the first channel, every sample handed out
};

void Drain(SoundFrames& frames, Out* out) {
  while (FramePtr frame = frames.Next()) {
    EXPECT_EQ(frame->nb_samples, kFrame);
    out->pts.push_back(frame->pts);
    const float* samples = reinterpret_cast<const float*>(frame->data[0]);
    out->first.insert(out->first.end(), samples, samples + frame->nb_samples);
  }
}

TEST(SoundFramesTest, BuffersOnTimeGiveFramesBackToBackFromTheFirstCaptureTime) {
  SoundFrames frames;
  std::string error;
  ASSERT_TRUE(frames.Open(44100, 2, 44100, AV_SAMPLE_FMT_FLTP, kFrame, &error)) << error;
  Out out;
  // The sound starts half a second into the session.
  for (int i = 0; i < 100; ++i) {
    const std::vector<int16_t> pcm = Ramp(kBuffer, 2, i * kBuffer);
    frames.Add(0.5 + static_cast<double>(i) * kBuffer / 44100, pcm.data(), kBuffer);
    Drain(frames, &out);
  }
  ASSERT_EQ(out.pts.size(), static_cast<size_t>(100 * kBuffer / kFrame));
  for (size_t i = 0; i < out.pts.size(); ++i)
    EXPECT_EQ(out.pts[i], 22050 + static_cast<int64_t>(i) * kFrame);
  // Every sample, in order: the ramp's value n at output sample n.
  for (size_t i = 0; i < out.first.size(); i += 997)
    EXPECT_NEAR(out.first[i] * 32768, static_cast<double>(i % 20000), 0.5) << i;
  EXPECT_EQ(frames.replacedSeconds(), 0);
}

TEST(SoundFramesTest, LostSoundLeavesAGapAndTimesThatGoBackSendNothingTwice) {
  SoundFrames frames;
  std::string error;
  ASSERT_TRUE(frames.Open(44100, 2, 44100, AV_SAMPLE_FMT_FLTP, kFrame, &error)) << error;
  Out out;
  auto add = [&](double time, int frames_) {
    const std::vector<int16_t> pcm = Ramp(frames_, 2, 0);
    frames.Add(time, pcm.data(), frames_);
    Drain(frames, &out);
  };
  for (int i = 0; i < 10; ++i)
    add(static_cast<double>(i) * kBuffer / 44100, kBuffer);
  const int64_t before = out.pts.back() + kFrame;
  // Half a second of sound never came: the next buffer is placed at its own time.
  add(1.0, 44100);
  ASSERT_GT(out.pts.size(), 11u);
  size_t jump = 0;
  while (out.pts[jump] < before)
    ++jump;
  EXPECT_EQ(out.pts[jump], 44100);
  EXPECT_NEAR(frames.replacedSeconds(), 1.0 - 10.0 * kBuffer / 44100, 1e-6);

  // A buffer stamped half a second back: what it holds of instants already sent is left
  // out; the frames stay in order, none overlapping the one before.
  const int64_t sentEnd = out.pts.back() + kFrame;
  add(1.5, 44100);
  for (size_t i = 1; i < out.pts.size(); ++i)
    EXPECT_GE(out.pts[i], out.pts[i - 1] + kFrame) << i;
  EXPECT_GE(out.pts.back(), sentEnd);
  EXPECT_LE(out.pts.back() + kFrame, std::llround(2.5 * 44100) + kFrame);
}

TEST(SoundFramesTest, OtherRatesAreConvertedAndStillPlacedByTime) {
  SoundFrames frames;
  std::string error;
  ASSERT_TRUE(frames.Open(22050, 2, 48000, AV_SAMPLE_FMT_FLTP, kFrame, &error)) << error;
  Out out;
  // Two seconds of 22.05 kHz sound from 1 s on become two seconds at 48 kHz from sample
  // 48,000 on (less what the converter still holds).
  for (int i = 0; i < 20; ++i) {
    const std::vector<int16_t> pcm = Ramp(2205, 2, 0);
    frames.Add(1.0 + i * 0.1, pcm.data(), 2205);
    Drain(frames, &out);
  }
  ASSERT_FALSE(out.pts.empty());
  EXPECT_EQ(out.pts.front(), 48000);
  const int64_t samples = static_cast<int64_t>(out.pts.size()) * kFrame;
  EXPECT_GE(samples, 96000 - 2 * kFrame);
  EXPECT_LE(samples, 96000);
  EXPECT_EQ(frames.replacedSeconds(), 0);
}

}  // namespace
