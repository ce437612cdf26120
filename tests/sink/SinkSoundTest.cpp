// A host gives a recording sink's MP4 the program's sound by attaching an audio encoder to
// the sink's writer before StartRecord; the audio packets then come through the sink's
// encoded-data face with the audio tag, as the muxing controller hands them on. The sound
// is in step with the pictures whichever comes first. Without it the file holds pictures
// only, as it always did.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SinkTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"
#include "sink/SinkRecordFile.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;
constexpr int kRate = 44100;
constexpr int kFrame = 1152;

// An audio encoder whose packets reach a sink as the controller hands them on.
class SoundToSink : public FFAudioEncoder {
 public:
  explicit SoundToSink(ISorvoData* sink) : m_sink(sink) {}
  int packets = 0;

 protected:
  void OnEncode(AVPacket* packet) override {
    ++packets;
    m_sink->OnEncodeData(kAudioDataTag, packet);
  }

 private:
  ISorvoData* m_sink;
};

struct Recording {
  TestAppDir dir;
  CSorvoSinkFF* sink = new CSorvoSinkFF();
  PacketCollector collector;
  std::unique_ptr<SoundToSink> sound;
  int64_t samples = 0;  // fed so far
  int pictures = 0;

  explicit Recording(bool withSound) {
    sink->SetEncodeDataOutputCB(&collector);
    EXPECT_EQ(sink->Create("cam", dir.File("cam.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 400000,
                           0, 0, 0),
              1);
    sound = std::make_unique<SoundToSink>(sink);
    EXPECT_EQ(sound->Open(2, kRate, 128000), 1);
    if (withSound) {
      FFWriteFile* file = SorvoGetRecordFile(sink);
      EXPECT_NE(file, nullptr);
      EXPECT_EQ(file->AttachAudioEncoder(0, sound.get()), 1);
    }
    EXPECT_EQ(sink->StartRecord(), 1);
  }
  ~Recording() {
    sink->Close();
    sound->Close();
    sink->Release();
  }
  // Sound from the capture clock's 0.0 up to `until` seconds, its tone starting at 1.0 s.
  void SoundUntil(double until) {
    while (samples / static_cast<double>(kRate) < until) {
      std::vector<uint8_t> pcm = ToneFrom(samples, kFrame, kRate, kRate);
      sound->Encode(0, samples / static_cast<double>(kRate), pcm.data(),
                    static_cast<long>(pcm.size()));
      samples += kFrame;
    }
  }
  // Pictures captured from 0.5 s on, up to `until` seconds, each waited for.
  void PicturesUntil(double until) {
    while (0.5 + pictures / 25.0 < until) {
      std::vector<uint8_t> picture = MovingYuvPicture(kW, kH, pictures);
      const size_t before = collector.Packets().size();
      sink->OnBuffer(0, 0.5 + pictures / 25.0, picture.data(), static_cast<long>(picture.size()),
                     kW, kH, PIX_FMT_YUV420P);
      ASSERT_TRUE(collector.WaitFor(before + 1));
      ++pictures;
    }
  }
  void Finish() {
    sound->Drain();
    sink->StopRecord();
  }
};

// Where the file's pictures and its tone begin, in the file's seconds.
void ExpectInStep(const std::string& path, double pictureStart) {
  const ProbedFile file = ProbeFile(path, true);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 2u);
  const ProbedStream& video = file.streams[0];
  const ProbedStream& audio = file.streams[1];
  EXPECT_EQ(video.decodeErrors, 0);
  EXPECT_EQ(audio.decodeErrors, 0);
  ASSERT_FALSE(video.pictureSeconds.empty());
  EXPECT_NEAR(video.pictureSeconds[0], pictureStart, 1e-3);
  // The tone began 0.5 s after the first picture was captured: so it is heard.
  EXPECT_NEAR(HeardOnsetSeconds(audio) - video.pictureSeconds[0], 0.5, 1e-3);
  // The sound lasts as long as the pictures, within one picture.
  EXPECT_NEAR(audio.endSeconds, video.endSeconds, 0.04);
}

TEST(SinkSoundTest, PicturesFirstTheSoundBeforeTheFileIsLeftOutAndTheRestIsInStep) {
  Recording recording(true);
  // The first picture opens the file; the sound captured before it comes afterwards.
  recording.PicturesUntil(0.6);
  recording.SoundUntil(0.6);
  for (double t = 0.6; t < 3.0; t += 0.2) {
    recording.SoundUntil(t + 0.2);
    recording.PicturesUntil(t + 0.2);
  }
  recording.Finish();
  ExpectInStep(recording.dir.File("cam.mp4"), 0.0);
}

TEST(SinkSoundTest, SoundFirstTheFileStartsWithItAndThePicturesFollowInStep) {
  Recording recording(true);
  // The sound reaches the file half a second of capture before the first picture.
  recording.SoundUntil(0.5);
  for (double t = 0.5; t < 3.0; t += 0.2) {
    recording.PicturesUntil(t + 0.2);
    recording.SoundUntil(t + 0.2);
  }
  recording.Finish();
  double origin = -1;
  ASSERT_TRUE(SorvoGetRecordFile(recording.sink)->GetFileOrigin(&origin));
  EXPECT_NEAR(origin, 0.0, 1e-6);
  ExpectInStep(recording.dir.File("cam.mp4"), 0.5);
}

TEST(SinkSoundTest, WithoutAnAttachedEncoderTheFileHoldsPicturesOnly) {
  Recording recording(false);
  recording.PicturesUntil(1.0);
  recording.SoundUntil(1.0);
  recording.Finish();
  EXPECT_GT(recording.sound->packets, 10);
  const ProbedFile file = ProbeFile(recording.dir.File("cam.mp4"));
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].decodedFrames, recording.pictures);
  EXPECT_EQ(SorvoGetRecordFile(nullptr), nullptr);
}

}  // namespace
