// The recorder's sources and their feeder, without a session: the pacing rules and what a
// media input turns into, read straight from the source.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/LoopbackClient.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/SinkTestSupport.h"
#include "tools/record/Feeder.h"
#include "tools/record/sources/MediaCamera.h"
#include "tools/record/sources/SourceFactory.h"

namespace {

using namespace sorvo::test;
using sorvo::tools::Feeder;
using sorvo::tools::MediaSource;

// Buffers that were all due long ago, then the end.
class StaleSource : public MediaSource {
 public:
  explicit StaleSource(int count) : m_count(count) { m_frameRate = 25; }
  bool Next(std::vector<uint8_t>* data, double* due) override {
    if (m_made == m_count) {
      m_error = "done";
      return false;
    }
    data->assign(16, static_cast<uint8_t>(m_made++));
    *due = -60;
    return true;
  }
  std::string Describe() const override { return "stale"; }

 private:
  int m_count;
  int m_made = 0;
};

class CountingReceiver : public IGrabberCallBack {
 public:
  int OnBuffer(int, double, unsigned char*, long, int, int, PixelFormat) override {
    ++buffers;
    return 1;
  }
  std::atomic<int> buffers{0};
};

// Runs a feeder until its source ends.
void FeedAll(Feeder& feeder) {
  feeder.Start();
  for (int i = 0; i < 6000 && feeder.endReason().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  feeder.Stop();
}

TEST(FeederTest, LatePicturesAreDroppedButSoundIsNot) {
  CountingReceiver pictures, sound;
  const sorvo::tools::SessionClock clock;
  Feeder video(std::make_unique<StaleSource>(5), &pictures, 0, /*dropLate=*/true, clock);
  Feeder audio(std::make_unique<StaleSource>(5), &sound, 0, /*dropLate=*/false, clock);
  FeedAll(video);
  FeedAll(audio);
  EXPECT_EQ(pictures.buffers, 0);
  EXPECT_EQ(video.late(), 5);
  EXPECT_EQ(sound.buffers, 5);
  EXPECT_EQ(audio.delivered(), 5);
  EXPECT_EQ(audio.late(), 0);
  EXPECT_EQ(audio.endReason(), "done");
}

TEST(MediaCameraTest, AFileLoopsAtItsOwnRate) {
  TestAppDir dir;
  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, 160, 120, 1, 20);
  info.pixelFormat = PIX_FMT_YUV420P;
  ISorvoSink* raw = nullptr;
  const std::string clip = dir.File("clip.mp4");
  ASSERT_EQ(CreateSorvo("clip", clip.c_str(), info, 300000, FreeLoopbackPort(), &raw, 0, 0), 1u);
  auto* sink = static_cast<CSorvoSinkFF*>(raw);
  PacketCollector collector;
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_EQ(sink->StartRecord(), 1);
  ASSERT_TRUE(FeedPictures(*sink, collector, 160, 120, 10));
  sink->Close();
  sink->Release();

  std::string error;
  std::unique_ptr<MediaSource> camera = sorvo::tools::MediaCamera::Open(clip, &error);
  ASSERT_NE(camera, nullptr) << error;
  EXPECT_EQ(camera->width(), 160);
  EXPECT_EQ(camera->height(), 120);
  EXPECT_EQ(camera->pixelFormat(), PIX_FMT_YUV420P);
  EXPECT_EQ(camera->frameRate(), 20);
  EXPECT_FALSE(camera->live());
  // Ten pictures a twentieth of a second apart, then the same again from half a second on.
  std::vector<uint8_t> picture;
  for (int i = 0; i < 25; ++i) {
    double due = -1;
    ASSERT_TRUE(camera->Next(&picture, &due)) << i << ": " << camera->error();
    EXPECT_NEAR(due, i / 20.0, 1e-6) << i;
    EXPECT_EQ(picture.size(), 160u * 120 * 3 / 2);
  }
}

TEST(MediaCameraTest, AFastInputIsThinnedToThirtyFivePicturesASecond) {
  std::string error;
  std::unique_ptr<MediaSource> camera =
      sorvo::tools::MediaCamera::Open("lavfi:testsrc=size=160x120:rate=70", &error);
  ASSERT_NE(camera, nullptr) << error;
  EXPECT_EQ(camera->frameRate(), 35);
  std::vector<uint8_t> picture;
  double previous = -1;
  for (int i = 0; i < 20; ++i) {
    double due = 0;
    ASSERT_TRUE(camera->Next(&picture, &due)) << camera->error();
    if (i > 0) {
      EXPECT_NEAR(due - previous, 2 / 70.0, 1e-6) << i;
    }
    previous = due;
  }
}

TEST(MediaCameraTest, SourcesThatCannotBeHadSayWhy) {
  struct Case {
    std::string source;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"test:99x120", "100 to 5000"},
      {"test:5001x120", "100 to 5000"},
      {"test:640", "test:WxH"},
      {"test:320x240:nv12", "unknown picture format \"nv12\""},
      {"lavfi:nosuchfilter", "Invalid argument"},
      {"/nonexistent.mkv", "No such file or directory"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(sorvo::tools::OpenCamera(c.source, {}, &error), nullptr) << c.source;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.source << ": " << error;
  }
  std::string error;
  EXPECT_EQ(sorvo::tools::OpenSound("none", &error), nullptr);
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(sorvo::tools::OpenSound("lavfi:testsrc", &error), nullptr);
  EXPECT_NE(error.find("no audio stream"), std::string::npos) << error;
}

}  // namespace
