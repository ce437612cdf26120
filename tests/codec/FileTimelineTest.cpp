// Files keep the capture clock: the encoders' packets carry their capture times and the
// writer places them from the file's origin. Every file is read back with libavformat and
// decoded; the pictures carry their counter in their pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "codec/FFWriteFile.h"
#include "common/CodecTestSupport.h"
#include "common/CounterPicture.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;
constexpr int kRate = 44100;

std::unique_ptr<RecordingEncoder> OpenVideo(FFWriteFile* writer, int index) {
  auto encoder = std::make_unique<RecordingEncoder>();
  EXPECT_EQ(encoder->Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  encoder->writer = writer;
  encoder->writerIndex = index;
  EXPECT_EQ(writer->AttachVideoEncoder(index, encoder.get()), 1);
  return encoder;
}

// Encodes the picture that shows `counter` of camera `camera`, captured at `time`.
int EncodeCounter(FFEncoder& encoder, int camera, int counter, double time) {
  std::vector<uint8_t> picture = CounterPicture(kW, kH, camera, counter);
  return encoder.Encode(0, time, picture.data(), static_cast<long>(picture.size()));
}

// Each decoded picture's counter, expecting all of them to be readable.
std::vector<int> Counters(const ProbedStream& stream) {
  std::vector<int> counters;
  for (const Picture& picture : stream.pictures) {
    const CounterMark mark = ReadCounter(picture);
    EXPECT_TRUE(mark.readable);
    counters.push_back(mark.counter);
  }
  return counters;
}

TEST(FileTimelineTest, LostPicturesAreRepeatsOfTheOneBeforeAndEveryPictureStaysAtItsTime) {
  TestAppDir dir;
  FFWriteFile writer;
  auto video = OpenVideo(&writer, 0);
  ASSERT_EQ(writer.CreateFileA(dir.File("gap.mp4").c_str(), "mp4", 1), 1);
  // A clock far from 0: the file still begins at 0.
  for (int k = 0; k < 100; ++k) {
    if (k >= 40 && k < 50)
      continue;
    ASSERT_EQ(EncodeCounter(*video, 0, k, 5000.0 + k / 25.0), 1) << k;
  }
  writer.CloseFile();
  EXPECT_EQ(video->writerResults, 100);
  EXPECT_EQ(video->GetRepeatedPictures(), 10);

  const ProbedFile file = ProbeFile(dir.File("gap.mp4"), true);
  ASSERT_EQ(file.streams.size(), 1u);
  const ProbedStream& stream = file.streams[0];
  EXPECT_EQ(stream.decodeErrors, 0);
  const std::vector<int> counters = Counters(stream);
  ASSERT_EQ(counters.size(), 100u);
  // Picture 39 stays on screen, in every slot, until picture 50 comes.
  for (size_t i = 0; i < counters.size(); ++i) {
    EXPECT_EQ(counters[i], i >= 40 && i < 50 ? 39 : static_cast<int>(i));
    EXPECT_NEAR(stream.pictureSeconds[i], i / 25.0, 1e-3) << counters[i];
  }
  EXPECT_NEAR(stream.endSeconds, 4.0, 1e-3);
}

TEST(FileTimelineTest, RegularTimesWriteTheSameBytesAsCountingThePackets) {
  TestAppDir dir;
  FFWriteFile timed;
  auto video = OpenVideo(&timed, 0);
  ASSERT_EQ(timed.CreateFileA(dir.File("timed.mp4").c_str(), "mp4", 1), 1);
  for (int k = 0; k < 60; ++k)
    ASSERT_EQ(EncodeCounter(*video, 0, k, 17.3 + k / 25.0), 1);
  timed.CloseFile();

  // The same packets without their times are placed by their count.
  FFWriteFile counted;
  ASSERT_EQ(counted.AttachVideoEncoder(0, video.get()), 1);
  ASSERT_EQ(counted.CreateFileA(dir.File("counted.mp4").c_str(), "mp4", 1), 1);
  for (SeenPacket& seen : video->packets) {
    AVPacket* packet = av_packet_alloc();
    packet->data = seen.data.data();
    packet->size = static_cast<int>(seen.data.size());
    packet->flags = seen.flags;
    EXPECT_EQ(counted.AddVideoFrame(packet, 0), 1);
    av_packet_free(&packet);
  }
  counted.CloseFile();
  const std::string bytes = ReadWholeFile(dir.File("timed.mp4"));
  EXPECT_FALSE(bytes.empty());
  EXPECT_TRUE(bytes == ReadWholeFile(dir.File("counted.mp4")));
}

TEST(FileTimelineTest, AStreamCapturedLaterBeginsLaterAndOneFromBeforeTheFileWaitsForAKeyFrame) {
  TestAppDir dir;
  FFWriteFile writer;
  auto first = OpenVideo(&writer, 0);
  auto second = OpenVideo(&writer, 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("two.mp4").c_str(), "mp4", 2), 1);
  // The first camera's first picture opens the file at 10 s of the capture clock. The
  // second camera's picture of 9.98 s reaches the file after it: it is no part of the file.
  ASSERT_EQ(EncodeCounter(*first, 0, 0, 10.0), 1);
  ASSERT_EQ(EncodeCounter(*second, 1, 0, 9.98), 1);
  EXPECT_EQ(second->writerResults, 0);
  for (int k = 1; k < 50; ++k) {
    ASSERT_EQ(EncodeCounter(*first, 0, k, 10.0 + k / 25.0), 1);
    // The second camera runs half a frame off the first one's grid.
    if (k >= 12) {
      ASSERT_EQ(EncodeCounter(*second, 1, k, 10.02 + k / 25.0), 1);
    }
  }
  writer.CloseFile();
  // The refused picture's successor was made a key frame, so the stream opens with it.
  ASSERT_GE(second->packets.size(), 2u);
  EXPECT_TRUE(second->packets[1].key());

  const ProbedFile file = ProbeFile(dir.File("two.mp4"), true);
  ASSERT_EQ(file.streams.size(), 2u);
  EXPECT_NEAR(file.streams[0].pictureSeconds.front(), 0.0, 1e-3);
  const std::vector<int> counters = Counters(file.streams[1]);
  ASSERT_EQ(counters.size(), 38u);
  EXPECT_EQ(counters.front(), 12);
  for (size_t i = 0; i < counters.size(); ++i)
    EXPECT_NEAR(file.streams[1].pictureSeconds[i], 0.02 + counters[i] / 25.0, 1e-3);
  EXPECT_TRUE(file.PacketsOf(1).front().key);
  EXPECT_NEAR(file.streams[1].endSeconds, file.streams[0].endSeconds + 0.02, 1e-3);
}

struct SoundCase {
  double soundFrom;     // capture time of the first sample
  double picturesFrom;  // capture time of the first picture
  bool fragmented;
};

class SoundBesidePicturesTest : public ::testing::TestWithParam<SoundCase> {};

TEST_P(SoundBesidePicturesTest, AToneSoundsWithThePictureCapturedWithIt) {
  const SoundCase c = GetParam();
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini",
                std::string("[Sorvo]\nFragmentedMP4=") + (c.fragmented ? "1" : "0") + "\n");
  FFWriteFile writer;
  auto video = OpenVideo(&writer, 0);
  RecordingAudioEncoder sound;
  ASSERT_EQ(sound.Open(2, kRate, 128000), 1);
  sound.writer = &writer;
  ASSERT_EQ(writer.AttachAudioEncoder(0, &sound), 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("av.mp4").c_str(), "mp4", 1), 1);

  // Both begin 100 s into the capture clock; the tone begins with the picture of 101.0 s.
  const double base = 100.0;
  const double toneAt = base + 1.0;
  const int64_t onset = std::llround((toneAt - base - c.soundFrom) * kRate);
  int64_t samples = 0;
  for (int k = 0; k < 75; ++k) {
    const double pictureTime = base + k / 25.0;
    // Sound up to the picture's capture time first, as it would have arrived.
    for (; base + c.soundFrom + samples / double(kRate) < pictureTime; samples += 1024) {
      std::vector<uint8_t> pcm = ToneFrom(samples, 1024, onset, kRate);
      sound.Encode(0, base + c.soundFrom + samples / double(kRate), pcm.data(),
                   static_cast<long>(pcm.size()));
    }
    if (k / 25.0 >= c.picturesFrom) {
      ASSERT_EQ(EncodeCounter(*video, 0, k, pictureTime), 1);
    }
  }
  sound.Drain();
  writer.CloseFile();

  const ProbedFile file = ProbeFile(dir.File("av.mp4"), true);
  ASSERT_EQ(file.streams.size(), 2u);
  const ProbedStream& pictures = file.streams[0];
  const std::vector<int> counters = Counters(pictures);
  double pictureSeconds = -1;
  for (size_t i = 0; i < counters.size(); ++i)
    if (counters[i] == 25)
      pictureSeconds = pictures.pictureSeconds[i];
  ASSERT_GE(pictureSeconds, 0);
  const double heard = HeardOnsetSeconds(file.streams[1]);
  ASSERT_GE(heard, 0);
  EXPECT_NEAR(heard, pictureSeconds, 0.001);
  // The first picture is where its capture time puts it against the sound's first sample.
  EXPECT_NEAR(pictures.pictureSeconds.front() - (heard - 1.0),
              std::ceil(c.picturesFrom * 25 - 1e-9) / 25.0, 0.001);
}

INSTANTIATE_TEST_SUITE_P(Cases,
                         SoundBesidePicturesTest,
                         ::testing::Values(SoundCase{0.3, 0.0, false},
                                           SoundCase{0.0, 0.5, false},
                                           SoundCase{0.3, 0.0, true},
                                           SoundCase{0.0, 0.5, true}),
                         [](const ::testing::TestParamInfo<SoundCase>& info) {
                           return std::string(info.param.soundFrom > 0 ? "SoundLater"
                                                                       : "PicturesLater") +
                                  (info.param.fragmented ? "Fragmented" : "");
                         });

}  // namespace
