// The director's cut and the multi-stream file keep the session's clock: a switch never
// records an instant twice, a slow camera gives longer pictures, a camera that starts
// later starts later in the file, and the sound lines up with the pictures. Cameras draw
// their number and counter into their pictures; every file is read back and decoded.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "MuxerTestSupport.h"
#include "audio/CAudioSinkFF.h"
#include "common/CounterPicture.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/ToneOnset.h"
#include "common/WaitUntil.h"
#include "host/TickCount.h"
#include "muxing/MultiStreamName.h"
#include "muxing/SorvoEntry.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;
constexpr int kRate = 44100;

class MuxerTimelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitSorvo();
    // Directors serve no clients here: tests may not count on port 8050 being free.
    sorvo::SetDirectorPortForTesting(0);
  }

  void TearDown() override {
    for (auto& camera : m_cameras) {
      camera.second->SetEncodeDataOutputCB(nullptr);
      camera.second->Close();
    }
    muxer.StopAllMux();
    sorvo::SetDirectorPortForTesting(-1);
  }

  // A director of the cameras' own size and format: their pictures reach it unchanged.
  void MakeDirector() {
    ASSERT_EQ(muxer.CreateSingleMux("director", DirectorPath().c_str(), kW, kH, PIX_FMT_YUV420P, 25,
                                    800000, 0, ZOOM_STRETCH, 0),
              1u);
    m_director = muxer.GetDirector();
    ASSERT_NE(m_director.get(), nullptr);
    m_director->SetEncodeDataOutputCB(&m_directorPackets);
    ASSERT_EQ(m_director->StartRecord(), 1);
  }

  std::string DirectorPath() const { return dir.File("director.mp4"); }

  void AddCamera(int id, int frameRate) {
    CComPtr<AudioTapSink> sink;
    sink.Attach(new AudioTapSink());
    const std::string name = "cam" + std::to_string(id);
    ASSERT_EQ(sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), kW, kH, PIX_FMT_YUV420P,
                           frameRate, 400000, id, 0, 0),
              1);
    auto tee = std::make_unique<TeeData>(&muxer);
    sink->SetEncodeDataOutputCB(tee.get());
    ASSERT_EQ(muxer.SetSink(id, sink), 1);
    ASSERT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(sink.get())), 1u);
    m_tees[id] = std::move(tee);
    m_cameras.emplace_back(id, sink);
  }

  AudioTapSink* Camera(int id) {
    for (auto& camera : m_cameras)
      if (camera.first == id)
        return camera.second.get();
    return nullptr;
  }

  // Camera `id`'s picture `counter`, captured at `time`, delivered by its capture thread.
  void Deliver(int id, int counter, double time) {
    std::vector<uint8_t> picture = CounterPicture(kW, kH, id, counter);
    Camera(id)->OnBuffer(0, time, picture.data(), static_cast<long>(picture.size()), kW, kH,
                         PIX_FMT_YUV420P);
  }

  // Waits until the director has encoded, or left out, every picture handed to it, so that
  // its queue never has to give one up.
  void WaitForDirector() {
    FFEncoder* encoder = dynamic_cast<FFEncoder*>(m_director.get());
    ASSERT_NE(encoder, nullptr);
    ASSERT_TRUE(WaitUntil([&] {
      // Repeats fill the slots no picture came for: they are packets of no picture.
      return static_cast<int64_t>(m_directorPackets.Packets().size()) -
                 encoder->GetRepeatedPictures() + encoder->GetLeftOutPictures() >=
             FramesIn(m_director);
    }));
  }

  // Waits until camera `id`'s packet for the picture just delivered has gone through the
  // controller into the multi-stream file.
  void WaitForCamera(int id, size_t packets) {
    ASSERT_TRUE(m_tees.at(id)->collector.WaitFor(packets));
  }

  TestAppDir dir;
  TestMuxer muxer;

 private:
  CComPtr<ISorvoSink> m_director;
  PacketCollector m_directorPackets;
  std::map<int, std::unique_ptr<TeeData>> m_tees;
  std::vector<std::pair<int, CComPtr<AudioTapSink>>> m_cameras;
};

struct Shown {
  int camera;
  int counter;
  double seconds;
};

// Each picture shown, at the time it is first shown: the slots no picture came for repeat
// the one before, which then stays on screen longer.
std::vector<Shown> ShownPictures(const ProbedStream& video) {
  std::vector<Shown> shown;
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    const CounterMark mark = ReadCounter(video.pictures[i]);
    EXPECT_TRUE(mark.readable) << i;
    if (shown.empty() || shown.back().camera != mark.camera ||
        shown.back().counter != mark.counter)
      shown.push_back({mark.camera, mark.counter, video.pictureSeconds[i]});
  }
  return shown;
}

TEST_F(MuxerTimelineTest, SwitchingEveryThreePicturesRecordsEachInstantOnce) {
  MakeDirector();
  AddCamera(0, 25);
  AddCamera(1, 25);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_0), 1);
  // Twenty seconds of both cameras at the same instants, their capture threads taking
  // turns in no fixed order; the selection moves to the other camera every three instants.
  std::mt19937 order(7);
  int selected = 0;
  for (int k = 0; k < 500; ++k) {
    const int first = static_cast<int>(order() % 2);
    for (int id : {first, 1 - first}) {
      Deliver(id, k, k / 25.0);
      WaitForDirector();
    }
    if (k % 3 == 2) {
      selected = 1 - selected;
      ASSERT_EQ(muxer.SetCurSingleMux(static_cast<EnumCameraType>(selected)), 1);
    }
  }
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  const std::vector<Shown> shown = ShownPictures(file.streams[0]);
  ASSERT_EQ(shown.size(), 500u);
  int switches = 0;
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(shown[i].counter, static_cast<int>(i));
    EXPECT_NEAR(shown[i].seconds, shown[i].counter / 25.0, 1e-3) << i;
    switches += i > 0 && shown[i].camera != shown[i - 1].camera ? 1 : 0;
  }
  EXPECT_GT(switches, 150);
  EXPECT_NEAR(file.streams[0].endSeconds, 20.0, 1 / 25.0);
}

TEST_F(MuxerTimelineTest, ASlowCameraOnTheDirectorGivesLongerPicturesNotAShorterFile) {
  MakeDirector();
  AddCamera(2, 10);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_2), 1);
  for (int k = 0; k < 40; ++k) {
    Deliver(2, k, k / 10.0);
    WaitForDirector();
  }
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_EQ(file.streams.size(), 1u);
  const std::vector<Shown> shown = ShownPictures(file.streams[0]);
  ASSERT_EQ(shown.size(), 40u);
  for (const Shown& picture : shown)
    EXPECT_NEAR(picture.seconds, picture.counter / 10.0, 0.5 / 25.0 + 1e-3) << picture.counter;
  EXPECT_NEAR(file.streams[0].endSeconds, 4.0, 1 / 10.0);
}

std::atomic<uint32_t> g_tick{0};
uint32_t FakeTick() {
  return g_tick.load();
}

TEST_F(MuxerTimelineTest, RepeatsOfCameraFourNeverTakeThePlaceOfItsOwnPictures) {
  sorvo::SetTickSourceForTesting(&FakeTick);
  MakeDirector();
  AddCamera(0, 25);
  AddCamera(4, 25);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_4), 1);
  // More than 40 ms pass before each of camera 0's pictures, so each one makes the
  // controller repeat camera 4's last picture; camera 4's own picture of that instant comes
  // just after. From instant 40 to 59 camera 4 sends nothing at all.
  for (int k = 0; k < 100; ++k) {
    g_tick += 41;
    Deliver(0, k, k / 25.0);
    WaitForDirector();
    if (k < 40 || k >= 60) {
      Deliver(4, k, k / 25.0);
      WaitForDirector();
    }
  }
  muxer.StopAllMux();
  sorvo::SetTickSourceForTesting(nullptr);

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_EQ(file.streams.size(), 1u);
  const std::vector<Shown> shown = ShownPictures(file.streams[0]);
  ASSERT_EQ(shown.size(), 80u);
  for (const Shown& picture : shown) {
    EXPECT_EQ(picture.camera, 4);
    EXPECT_NEAR(picture.seconds, picture.counter / 25.0, 1e-3) << picture.counter;
  }
  // Camera 4's last picture before its pause stays on screen through it.
  EXPECT_EQ(shown[39].counter, 39);
  EXPECT_EQ(shown[40].counter, 60);
  EXPECT_NEAR(file.streams[0].endSeconds, 4.0, 1e-3);
}

TEST_F(MuxerTimelineTest, ALaterCameraStartsLaterAndTheSoundKeepsTimeWithThePictures) {
  MakeDirector();
  AddCamera(0, 25);
  AddCamera(1, 25);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_0), 1);
  CAudioSinkFF microphone;
  const tWAVEFORMATEX format{WAVE_FORMAT_PCM, 2, kRate, kRate * 4, 4, 16, 0};
  ASSERT_EQ(microphone.Create("mic", nullptr, format, 0), 1);
  microphone.SetEncodeDataOutputCB(kAudioDataTag, &muxer);
  ASSERT_EQ(muxer.GetMultiFile().AttachAudioEncoder(0, &microphone), 1);
  ASSERT_EQ(muxer.StartMultMux(), 1);

  // The session's clock is at 30 s when recording starts. Camera 1 starts half a second
  // after camera 0; the tone starts with camera 0's picture 25.
  const double start = 30.0;
  const int64_t onset = kRate;
  IGrabberCallBack& capture = microphone;
  int64_t samples = 0;
  size_t packets0 = 0, packets1 = 0;
  for (int k = 0; k < 75; ++k) {
    const double time = start + k / 25.0;
    for (; start + samples / double(kRate) < time; samples += 1024) {
      std::vector<uint8_t> pcm = ToneFrom(samples, 1024, onset, kRate);
      capture.OnBuffer(0, start + samples / double(kRate), pcm.data(),
                       static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
    }
    Deliver(0, k, time);
    WaitForCamera(0, ++packets0);
    if (k >= 12) {
      Deliver(1, k - 12, time + 0.02);
      WaitForCamera(1, ++packets1);
    }
  }
  microphone.Close();
  microphone.SetEncodeDataOutputCB(0, nullptr);
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(dir.File(sorvo::kMultiStreamFileName), true);
  ASSERT_EQ(file.streams.size(), 3u);
  const std::vector<Shown> first = ShownPictures(file.streams[0]);
  const std::vector<Shown> second = ShownPictures(file.streams[1]);
  ASSERT_EQ(first.size(), 75u);
  ASSERT_EQ(second.size(), 63u);
  EXPECT_NEAR(first.front().seconds, 0.0, 1e-3);
  EXPECT_EQ(second.front().counter, 0);
  EXPECT_NEAR(second.front().seconds, 0.5, 1e-3);
  for (const Shown& picture : second)
    EXPECT_NEAR(picture.seconds, 0.5 + picture.counter / 25.0, 1e-3);
  EXPECT_NEAR(file.streams[1].endSeconds, file.streams[0].endSeconds + 0.02, 1e-3);

  const double heard = HeardOnsetSeconds(file.streams[2]);
  ASSERT_EQ(first[25].counter, 25);
  EXPECT_NEAR(heard, first[25].seconds, 0.001);
}

}  // namespace

// Keeps every switch the controller reports.
class SwitchLog : public ISorvoSwitchObserver {
 public:
  void OnCameraSwitch(int camera, double time) override {
    std::lock_guard<std::mutex> hold(m_lock);
    switches.push_back({camera, 0, time});
  }
  std::vector<Shown> switches;  // camera and capture time; counter unused

 private:
  std::mutex m_lock;
};

// The switch observer is told the moment the director's file first shows each camera, on
// the file's own frame grid, whether the new camera's picture of that instant came before
// or after the old one's, and for a camera whose pictures are taken between the grid's.
TEST_F(MuxerTimelineTest, EverySwitchIsReportedWhereTheDirectorsFileFirstShowsTheCamera) {
  MakeDirector();
  AddCamera(0, 25);
  AddCamera(1, 25);
  SwitchLog log;
  muxer.SetSwitchObserver(&log);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_0), 1);
  std::mt19937 order(11);
  int selected = 0;
  for (int k = 0; k < 200; ++k) {
    const int first = static_cast<int>(order() % 2);
    for (int id : {first, 1 - first}) {
      // Camera 1 takes its pictures a third of a picture after camera 0's.
      Deliver(id, k, 3.0 + k / 25.0 + (id == 1 ? 0.013 : 0.0));
      WaitForDirector();
    }
    if (k % 7 == 6 || k % 11 == 3) {
      selected = 1 - selected;
      ASSERT_EQ(muxer.SetCurSingleMux(static_cast<EnumCameraType>(selected)), 1);
    }
  }
  double origin = 0;
  ASSERT_TRUE(muxer.Director()->RecordFile().GetFileOrigin(&origin));
  muxer.SetSwitchObserver(nullptr);
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_EQ(file.streams.size(), 1u);
  std::vector<Shown> runs;
  for (const Shown& shown : ShownPictures(file.streams[0]))
    if (runs.empty() || runs.back().camera != shown.camera)
      runs.push_back(shown);
  ASSERT_GT(runs.size(), 30u);
  ASSERT_EQ(log.switches.size(), runs.size());
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(log.switches[i].camera, runs[i].camera) << i;
    EXPECT_NEAR(log.switches[i].seconds - origin, runs[i].seconds, 1e-3) << i;
  }
}
