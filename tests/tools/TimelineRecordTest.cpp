// sorvo-record keeps one session clock in every file: its feeders stamp every camera and
// the sound on one clock, and a session whose camera drops pictures (its encoding thread
// held up, as on a loaded machine) still ends every file together, each picture at the
// time its drawn counter says.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "DrawnLabel.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "tools/record/Feeder.h"
#include "tools/record/SessionClock.h"

namespace {

using namespace sorvo::test;
using sorvo::tools::Feeder;
using sorvo::tools::MediaSource;
using sorvo::tools::SessionClock;

// Buffers due every hundredth of a second from `firstDue` on; `live` ones come at once.
class TimedSource : public MediaSource {
 public:
  TimedSource(double firstDue, bool live) : m_firstDue(firstDue), m_live(live) {
    m_frameRate = 100;
  }
  bool Next(std::vector<uint8_t>* data, double* due) override {
    if (m_made == 5) {
      m_error = "done";
      return false;
    }
    data->assign(16, 0);
    *due = m_firstDue + m_made++ / 100.0;
    return true;
  }
  bool live() const override { return m_live; }
  std::string Describe() const override { return "timed"; }

 private:
  const double m_firstDue;
  const bool m_live;
  int m_made = 0;
};

class TimeReceiver : public IGrabberCallBack {
 public:
  int OnBuffer(int, double time, unsigned char*, long, int, int, PixelFormat) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_times.push_back(time);
    return 1;
  }
  std::vector<double> Times() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_times;
  }

 private:
  std::mutex m_lock;
  std::vector<double> m_times;
};

void FeedAll(Feeder& feeder) {
  feeder.Start();
  for (int i = 0; i < 6000 && feeder.endReason().empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  feeder.Stop();
}

TEST(SessionClockFeederTest, BuffersGoOutStampedOnTheSessionsClock) {
  const SessionClock clock;
  // A source's own due times are the session's: it starts with the session.
  TimeReceiver scheduled;
  Feeder file(std::make_unique<TimedSource>(0.0, false), &scheduled, 0, false, clock);
  FeedAll(file);
  EXPECT_EQ(scheduled.Times(), (std::vector<double>{0.0, 0.01, 0.02, 0.03, 0.04}));
  EXPECT_GE(clock.Now(), 0.04);

  // A device's times, from a clock of its own, are moved onto the session's where its first
  // buffer comes, and keep their spacing.
  TimeReceiver device;
  const double before = clock.Now();
  Feeder live(std::make_unique<TimedSource>(5000.0, true), &device, 0, true, clock);
  FeedAll(live);
  const std::vector<double> times = device.Times();
  ASSERT_EQ(times.size(), 5u);
  EXPECT_GE(times[0], before);
  EXPECT_LE(times[0], clock.Now());
  for (size_t i = 1; i < times.size(); ++i)
    EXPECT_NEAR(times[i] - times[0], i / 100.0, 1e-9);
}

struct Shown {
  int counter;
  double seconds;
};

// Every picture of the file's first stream with its drawn counter, each checked to be
// shown first within a picture of the time its counter stands for, and none shown again
// after another. A slot no picture came for repeats the picture before it.
std::vector<Shown> ShownAtTheirTimes(const std::string& path, int fps) {
  const ProbedFile file = ProbeFile(path, true);
  std::vector<Shown> shown;
  EXPECT_TRUE(file.opened) << path;
  if (file.streams.empty())
    return shown;
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.decodeErrors, 0) << path;
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    const int counter = DrawnCounter(video.pictures[i]);
    EXPECT_GE(counter, 0) << path << " picture " << i;
    if (!shown.empty() && counter == shown.back().counter)
      continue;
    EXPECT_NEAR(video.pictureSeconds[i] * fps, counter, 1.0) << path << " picture " << i;
    if (!shown.empty()) {
      EXPECT_GT(counter, shown.back().counter) << path << " picture " << i;
    }
    shown.push_back({counter, video.pictureSeconds[i]});
  }
  return shown;
}

class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : m_name(name) { setenv(name, value, 1); }
  ~ScopedEnvironment() { unsetenv(m_name); }

 private:
  const char* m_name;
};

TEST(TimelineRecordTest, ACameraThatDropsPicturesEndsWithTheOthersAndTheSound) {
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0) << "no free range of ports";
  TestAppDir dir;
  const std::string out = dir.File("session");
  // Camera 0's encoder is held for two seconds after its 20th packet, while its pictures
  // keep coming: its queue keeps the last few and gives the rest up.
  const ScopedEnvironment stall("SORVO_RECORD_TEST_STALL", "0:20:2000");
  const int fps = 10;
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "5", "--fps", std::to_string(fps), "--camera", "test:240x180:yuv420p",
               "--camera", "test:240x180:yuv420p", "--director", "240x180", "--switch-every",
               "0.35", "--ports", std::to_string(base), "--out", out},
              dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  std::vector<std::vector<Shown>> cameras;
  for (const char* name : {"camera0", "camera1"})
    cameras.push_back(ShownAtTheirTimes(out + "/" + name + ".mp4", fps));
  ASSERT_FALSE(cameras[0].empty());
  ASSERT_FALSE(cameras[1].empty());
  // Camera 0 did lose pictures, about a second and a half of them.
  EXPECT_LT(static_cast<int>(cameras[0].size()) + 8, cameras[0].back().counter + 1);
  // Both end at the same picture, give or take the one that came while the first stopped.
  EXPECT_NEAR(cameras[0].back().counter, cameras[1].back().counter, 1);
  EXPECT_NEAR(cameras[0].back().seconds, cameras[1].back().seconds, 1.0 / fps + 1e-3);

  // The director's cut shows each instant once, at its time, whichever camera it came from.
  const std::vector<Shown> director = ShownAtTheirTimes(out + "/director.mp4", fps);
  ASSERT_FALSE(director.empty());
  EXPECT_NEAR(director.back().seconds, cameras[1].back().seconds, 1.0 / fps + 1e-3);

  // The multi-stream file's streams end together: the cameras within a picture, the sound
  // within a picture and one of its own frames.
  const ProbedFile multi = ProbeFile(out + "/导播多流.mp4");
  // Two cameras and the sound, then the timecode track.
  ASSERT_EQ(multi.streams.size(), 4u);
  ASSERT_EQ(multi.streams[2].mediaType, AVMEDIA_TYPE_AUDIO);
  EXPECT_NEAR(multi.streams[0].endSeconds, multi.streams[1].endSeconds, 1.0 / fps + 1e-3);
  EXPECT_NEAR(multi.streams[2].endSeconds, multi.streams[1].endSeconds, 1.0 / fps + 1152.0 / 44100);
  // Camera 0's lost pictures left no hole: each of their slots repeats the picture before.
  EXPECT_NEAR(multi.streams[0].decodedFrames, multi.streams[1].decodedFrames, 1);
}

}  // namespace
