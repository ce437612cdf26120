#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "FitTestSupport.h"
#include "MuxerTestSupport.h"
#include "audio/CAudioSinkFF.h"
#include "common/CodecTestSupport.h"
#include "common/LogCapture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/ScopedBackupFault.h"
#include "common/TestAppDir.h"
#include "host/BackupFile.h"
#include "host/TickCount.h"
#include "muxing/MultiStreamName.h"
#include "muxing/SorvoEntry.h"
#include "muxing/SorvoMuxer.h"

namespace {

namespace fs = std::filesystem;
using sorvo::test::AudioTapSink;
using sorvo::test::BorrowedPacket;
using sorvo::test::Bt601;
using sorvo::test::FramesIn;
using sorvo::test::GrabberTap;
using sorvo::test::LogCapture;
using sorvo::test::ReadWholeFile;
using sorvo::test::MeanColour;
using sorvo::test::Near;
using sorvo::test::PacketCollector;
using sorvo::test::ProbedFile;
using sorvo::test::ProbeFile;
using sorvo::test::TeeData;
using sorvo::test::TestAppDir;
using sorvo::test::TestMuxer;
using sorvo::test::Yuv;

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb kGreen{40, 200, 80};
constexpr Rgb kBlue{30, 60, 220};
constexpr Rgb kOrange{230, 140, 20};

std::atomic<uint32_t> g_tick{0};
uint32_t FakeTick() {
  return g_tick.load();
}

class SorvoMuxerTest : public ::testing::Test {
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
    sorvo::SetTickSourceForTesting(nullptr);
  }

  // Creates the director (YUV 4:2:0) and starts its own recording; its packets are kept.
  void MakeDirector(int width, int height, EnumZoomOption zoom, uint32_t fill = 0) {
    ASSERT_EQ(muxer.CreateSingleMux("director", DirectorPath().c_str(), width, height,
                                    PIX_FMT_YUV420P, 25, 800000, 0, zoom, fill),
              1u);
    director = muxer.GetDirector();
    ASSERT_NE(director.get(), nullptr);
    m_directorPackets = std::make_unique<PacketCollector>();
    director->SetEncodeDataOutputCB(m_directorPackets.get());
    ASSERT_EQ(director->StartRecord(), 1);
  }

  std::string DirectorPath() const { return dir.File("director.mp4"); }
  std::string MultiStreamPath() const { return dir.File(sorvo::kMultiStreamFileName); }

  // Creates a camera sink with the given id, the way the host does: stored in the sink
  // table, registered, and with the controller as its encoded-data target.
  AudioTapSink* AddCamera(int id,
                          int width,
                          int height,
                          PixelFormat format = PIX_FMT_BGR24,
                          bool registered = true) {
    CComPtr<AudioTapSink> sink;
    sink.Attach(new AudioTapSink());
    const std::string name = "cam" + std::to_string(id);
    EXPECT_EQ(sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), width, height, format, 25,
                           400000, id, 0, 0),
              1);
    m_sizes[sink.get()] = {width, height, format};
    auto tee = std::make_unique<TeeData>(&muxer);
    sink->SetEncodeDataOutputCB(tee.get());
    EXPECT_EQ(muxer.SetSink(id, sink), 1);
    if (registered) {
      EXPECT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(sink.get())), 1u);
    }
    m_tees[sink.get()] = std::move(tee);
    m_cameras.emplace_back(id, sink);
    return sink.get();
  }

  // One solid picture into a camera sink, as its capture thread would deliver it.
  void Feed(AudioTapSink* camera, Rgb colour, double time = 0) {
    const Size size = m_sizes.at(camera);
    std::vector<uint8_t> picture =
        size.format == PIX_FMT_YUV420P
            ? sorvo::test::SolidYuvPicture(size.width, size.height,
                                           Bt601(colour.r, colour.g, colour.b))
            : sorvo::test::SolidPackedPicture(size.format, size.width, size.height, colour.r,
                                              colour.g, colour.b);
    camera->OnBuffer(0, time, picture.data(), static_cast<long>(picture.size()), size.width,
                     size.height, size.format);
  }

  // Feeds a picture and waits until the camera's own packet for it has gone through the
  // controller.
  void FeedAndWaitForPacket(AudioTapSink* camera, Rgb colour) {
    PacketCollector& packets = m_tees.at(camera)->collector;
    const size_t before = packets.Packets().size();
    Feed(camera, colour);
    ASSERT_TRUE(packets.WaitFor(before + 1));
  }

  bool WaitForDirectorPackets(size_t count) { return m_directorPackets->WaitFor(count); }

  static std::vector<sorvo::test::LogLine> LinesAt(LogCapture& log, int level) {
    std::vector<sorvo::test::LogLine> lines;
    for (const auto& line : log.Lines())
      if (line.level == level)
        lines.push_back(line);
    return lines;
  }

  TestAppDir dir;
  TestMuxer muxer;
  CComPtr<ISorvoSink> director;

 private:
  struct Size {
    int width, height;
    PixelFormat format;
  };
  std::unique_ptr<PacketCollector> m_directorPackets;
  std::map<ISorvoSink*, std::unique_ptr<TeeData>> m_tees;
  std::map<ISorvoSink*, Size> m_sizes;
  std::vector<std::pair<int, CComPtr<AudioTapSink>>> m_cameras;
};

TEST_F(SorvoMuxerTest, CreateSingleMuxChecksItsSizeAndPath) {
  const std::string path = DirectorPath();
  const auto create = [&](const char* name, const char* p, int width, int height) {
    return muxer.CreateSingleMux(name, p, width, height, PIX_FMT_YUV420P, 25, 400000, 0,
                                 ZOOM_STRETCH, 0);
  };
  EXPECT_EQ(create("d", path.c_str(), 100, 240), 0u);
  EXPECT_EQ(create("d", path.c_str(), 320, 100), 0u);
  EXPECT_EQ(create("d", path.c_str(), 5000, 240), 0u);
  EXPECT_EQ(create("d", path.c_str(), 320, 5000), 0u);
  EXPECT_EQ(create("d", nullptr, 320, 240), 0u);
  EXPECT_EQ(muxer.GetDirector().get(), nullptr);
  EXPECT_EQ(create("d", path.c_str(), 101, 101), 1u);
  EXPECT_EQ(create("d", path.c_str(), 4999, 101), 1u);
  ASSERT_NE(muxer.GetDirector().get(), nullptr);
  EXPECT_EQ(muxer.GetDirector()->GetId(), CAMERA_DIRECTOR);
  EXPECT_EQ(muxer.GetDirector()->GetWidth(), 4999);

  // A director sink that fails to start leaves none behind, and cameras are refused.
  EXPECT_EQ(create(nullptr, path.c_str(), 320, 240), 0xFFFFFFFFu);
  EXPECT_EQ(muxer.GetDirector().get(), nullptr);
  CComPtr<CSorvoSinkFF> camera;
  camera.Attach(new CSorvoSinkFF());
  ASSERT_EQ(camera->Create("cam1", dir.File("cam1.mp4").c_str(), 160, 120, PIX_FMT_BGR24, 25,
                           400000, 1, 0, 0),
            1);
  EXPECT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(camera.get())), 0u);
  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_1), 0);
}

TEST_F(SorvoMuxerTest, IdsOutsideTheTablesAreRefused) {
  SorvoMuxer fresh;
  CComPtr<CSorvoSinkFF> early;
  early.Attach(new CSorvoSinkFF());
  ASSERT_EQ(early->Create("early", dir.File("early.mp4").c_str(), 160, 120, PIX_FMT_BGR24, 25,
                          400000, 1, 0, 0),
            1);
  EXPECT_EQ(fresh.AddSingleMux(CComPtr<ISorvoSink>(early.get())), 0u);  // no director yet

  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* one = AddCamera(1, 160, 120);
  AudioTapSink* five = AddCamera(5, 160, 120);
  std::vector<uint8_t> picture = sorvo::test::SolidPackedPicture(PIX_FMT_BGR24, 160, 120, 1, 2, 3);
  const auto offer = [&](int id) {
    return muxer.OnBuffer(id, 0, picture.data(), static_cast<long>(picture.size()), 160, 120,
                          PIX_FMT_BGR24);
  };
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);
  EXPECT_EQ(offer(1), 1);
  for (int id : {5, 6, 7, 8, 9, -1, 100, 2})
    EXPECT_EQ(offer(id), 0) << id;
  EXPECT_EQ(FramesIn(director), 1);

  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_2), 0);  // nothing registered there
  EXPECT_EQ(muxer.SetCurSingleMux(static_cast<EnumCameraType>(-1)), 0);
  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_NONE), 0);
  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_DIRECTOR), 0);
  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_5), 1);  // registered, though it carries no pictures
  EXPECT_EQ(muxer.SetSink(9, one), 0);
  EXPECT_EQ(muxer.SetSink(-1, one), 0);
  EXPECT_EQ(muxer.GetSink(9).get(), nullptr);

  for (int id : {9, -1, 100}) {
    CComPtr<CSorvoSinkFF> stray;
    stray.Attach(new CSorvoSinkFF());
    ASSERT_EQ(stray->Create("stray", dir.File("stray.mp4").c_str(), 160, 120, PIX_FMT_BGR24, 25,
                            400000, id, 0, 0),
              1);
    EXPECT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(stray.get())), 0u) << id;
  }
  // A video packet of an id without a table entry is dropped.
  std::vector<uint8_t> bytes(64, 0);
  BorrowedPacket packet(bytes, AV_PKT_FLAG_KEY);
  EXPECT_EQ(muxer.OnEncodeData(42, packet.get()), 1);
  EXPECT_EQ(muxer.OnEncodeData(-3, packet.get()), 1);
  (void)five;
}

TEST_F(SorvoMuxerTest, SwitchTakesEffectWithTheNewCamerasNextPicture) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  AudioTapSink* cam2 = AddCamera(2, 176, 144, PIX_FMT_YUV420P);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);

  Feed(cam1, kGreen);
  Feed(cam2, kBlue);  // not selected: goes nowhere
  EXPECT_EQ(FramesIn(director), 1);
  ASSERT_TRUE(WaitForDirectorPackets(1));
  Feed(cam1, kGreen);
  ASSERT_TRUE(WaitForDirectorPackets(2));

  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_2), 1);
  Feed(cam1, kGreen);  // camera 2 has sent nothing yet: camera 1 stays on
  EXPECT_EQ(FramesIn(director), 3);
  ASSERT_TRUE(WaitForDirectorPackets(3));
  Feed(cam2, kBlue);  // the switch
  EXPECT_EQ(FramesIn(director), 4);
  ASSERT_TRUE(WaitForDirectorPackets(4));
  Feed(cam1, kGreen);  // no longer sent
  EXPECT_EQ(FramesIn(director), 4);
  Feed(cam2, kBlue);
  ASSERT_TRUE(WaitForDirectorPackets(5));
  director->StopRecord();

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  const auto& pictures = file.streams[0].pictures;
  ASSERT_EQ(pictures.size(), 5u);
  const Yuv green = Bt601(kGreen.r, kGreen.g, kGreen.b);
  const Yuv blue = Bt601(kBlue.r, kBlue.g, kBlue.b);
  for (size_t i = 0; i < pictures.size(); ++i) {
    ASSERT_EQ(pictures[i].width, 320);
    const Yuv seen = MeanColour(pictures[i], 16, 16, 304, 224);
    EXPECT_TRUE(Near(seen, i < 3 ? green : blue, 6)) << "picture " << i << ": " << seen;
  }
}

TEST_F(SorvoMuxerTest, LetterboxedCameraShowsBordersOfTheFillColour) {
  MakeDirector(320, 180, ZOOM_LETTERBOX, 0x000000FF);  // red
  AudioTapSink* cam1 = AddCamera(1, 160, 120);         // 4:3 into 16:9
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);
  LogCapture log;
  for (int i = 0; i < 3; ++i) {
    Feed(cam1, kGreen);
    ASSERT_TRUE(WaitForDirectorPackets(i + 1));
  }
  director->StopRecord();

  // The warning names the fitted size, once.
  const auto warnings = LinesAt(log, SORVO_LOG_WARN);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text,
            "单流导播分辨率与源(cam1)分辨率大小不一样,需要resize:单流:240,180;源:160,120");

  const ProbedFile file = ProbeFile(DirectorPath(), true);
  ASSERT_EQ(file.streams.size(), 1u);
  ASSERT_EQ(file.streams[0].pictures.size(), 3u);
  const Yuv red = Bt601(255, 0, 0);
  const Yuv green = Bt601(kGreen.r, kGreen.g, kGreen.b);
  for (const auto& picture : file.streams[0].pictures) {
    ASSERT_EQ(picture.width, 320);
    ASSERT_EQ(picture.height, 180);
    // Away from the edges of the picture, where the codec blurs one colour into the other.
    const Yuv left = MeanColour(picture, 0, 0, 24, 180);
    const Yuv inside = MeanColour(picture, 56, 0, 264, 180);
    const Yuv right = MeanColour(picture, 296, 0, 320, 180);
    EXPECT_TRUE(Near(left, red, 8)) << left;
    EXPECT_TRUE(Near(inside, green, 8)) << inside;
    EXPECT_TRUE(Near(right, red, 8)) << right;
  }
}

TEST_F(SorvoMuxerTest, PictureOfTheDirectorsSizePassesThroughWithNothingLogged) {
  MakeDirector(320, 180, ZOOM_LETTERBOX, 0x000000FF);
  AudioTapSink* cam0 = AddCamera(0, 320, 180, PIX_FMT_YUV420P);
  GrabberTap tap;
  director->SetGrabberCallBack(&tap);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_0), 1);
  LogCapture log;
  std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(320, 180, 7);
  const std::vector<uint8_t> original = picture;
  cam0->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), 320, 180,
                 PIX_FMT_YUV420P);
  director->SetGrabberCallBack(nullptr);

  const auto seen = tap.Pictures();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].id, CAMERA_DIRECTOR);
  EXPECT_EQ(seen[0].data, original);
  EXPECT_EQ(seen[0].width, 320);
  EXPECT_EQ(seen[0].height, 180);
  EXPECT_EQ(seen[0].format, PIX_FMT_YUV420P);
  EXPECT_EQ(picture, original);
  EXPECT_TRUE(log.Lines().empty());
  // A length that describes no picture is refused, not copied.
  EXPECT_EQ(muxer.OnBuffer(0, 0, picture.data(), -1, 320, 180, PIX_FMT_YUV420P), 0);
  EXPECT_EQ(FramesIn(director), 1);
}

TEST_F(SorvoMuxerTest, CameraFourIsRepeatedOnlyAfterMoreThanFortyMilliseconds) {
  sorvo::SetTickSourceForTesting(&FakeTick);
  g_tick = 1000;
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam0 = AddCamera(0, 160, 120);
  AudioTapSink* cam4 = AddCamera(4, 176, 144);
  GrabberTap tap;
  director->SetGrabberCallBack(&tap);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_4), 1);

  Feed(cam0, kGreen);  // camera 4 has not sent anything: nothing to repeat
  EXPECT_EQ(FramesIn(director), 0);
  Feed(cam4, kOrange);
  EXPECT_EQ(FramesIn(director), 1);
  g_tick = 1040;
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 1);
  g_tick = 1041;
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 2);
  g_tick = 1081;  // 40 ms after the repeat
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 2);
  // The tick counter wraps; the difference still counts.
  g_tick = 0xFFFFFFF0u;
  Feed(cam4, kOrange);
  g_tick = 0x00000019u;  // 41 ms later
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 4);
  director->SetGrabberCallBack(nullptr);

  const auto seen = tap.Pictures();
  ASSERT_EQ(seen.size(), 4u);
  for (const auto& picture : seen) {
    EXPECT_EQ(picture.data, seen[0].data);  // camera 4's picture each time
    EXPECT_EQ(picture.length, 320 * 240 * 3 / 2);
  }
  EXPECT_TRUE(Near(MeanColour(seen[1].data.data(), 320, 240, 0, 0, 320, 240),
                   Bt601(kOrange.r, kOrange.g, kOrange.b), 2));

  // While another camera is active, nothing is repeated.
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_0), 1);
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 5);
  g_tick += 1000;
  Feed(cam4, kOrange);
  EXPECT_EQ(FramesIn(director), 5);
}

TEST_F(SorvoMuxerTest, RepeatsReachAFlippingDirectorTurnedLikeTheOriginal) {
  sorvo::SetTickSourceForTesting(&FakeTick);
  g_tick = 2000;
  MakeDirector(320, 240, ZOOM_STRETCH);
  director->SetFlipVertical(1);  // turns each picture it is handed, in place
  GrabberTap tap;
  director->SetGrabberCallBack(&tap);
  AudioTapSink* cam0 = AddCamera(0, 160, 120);
  AudioTapSink* cam4 = AddCamera(4, 320, 240, PIX_FMT_YUV420P);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_4), 1);
  // Dark upper half, bright lower half.
  std::vector<uint8_t> picture = sorvo::test::SolidYuvPicture(320, 240, Bt601(128, 128, 128));
  std::memset(picture.data(), 30, 320 * 120);
  std::memset(picture.data() + 320 * 120, 220, 320 * 120);
  cam4->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), 320, 240,
                 PIX_FMT_YUV420P);
  for (int i = 0; i < 2; ++i) {
    g_tick += 41;
    Feed(cam0, kGreen);
  }
  director->SetGrabberCallBack(nullptr);
  const auto seen = tap.Pictures();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].data[0], 220);  // turned: the bright half on top
  EXPECT_EQ(seen[1].data, seen[0].data);
  EXPECT_EQ(seen[2].data, seen[0].data);
}

TEST_F(SorvoMuxerTest, ANewDirectorGetsNothingFittedForTheOldOne) {
  sorvo::SetTickSourceForTesting(&FakeTick);
  g_tick = 5000;
  MakeDirector(176, 144, ZOOM_STRETCH);
  AudioTapSink* cam0 = AddCamera(0, 160, 120);
  AudioTapSink* cam4 = AddCamera(4, 160, 120);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_4), 1);
  Feed(cam4, kOrange);
  ASSERT_EQ(FramesIn(director), 1);

  // A larger director replaces the first one; the cameras stay registered.
  MakeDirector(352, 288, ZOOM_STRETCH);
  GrabberTap tap;
  director->SetGrabberCallBack(&tap);
  g_tick += 100;
  Feed(cam0, kGreen);  // the last picture was fitted for the old director: not repeated
  EXPECT_EQ(FramesIn(director), 0);
  Feed(cam4, kOrange);
  g_tick += 41;
  Feed(cam0, kGreen);
  EXPECT_EQ(FramesIn(director), 2);
  director->SetGrabberCallBack(nullptr);
  const auto seen = tap.Pictures();
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& picture : seen) {
    EXPECT_EQ(picture.width, 352);
    EXPECT_EQ(picture.length, 352 * 288 * 3 / 2);
  }
  EXPECT_EQ(seen[1].data, seen[0].data);
}

TEST_F(SorvoMuxerTest, ZoomOptionOutsideStretchAndLetterboxRefusesTheActiveCamera) {
  ASSERT_EQ(muxer.CreateSingleMux("director", DirectorPath().c_str(), 320, 240, PIX_FMT_YUV420P, 25,
                                  400000, 0, static_cast<EnumZoomOption>(2), 0),
            1u);
  director = muxer.GetDirector();
  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  AudioTapSink* cam2 = AddCamera(2, 160, 120);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);
  std::vector<uint8_t> picture = sorvo::test::SolidPackedPicture(PIX_FMT_BGR24, 160, 120, 1, 2, 3);
  EXPECT_EQ(muxer.OnBuffer(1, 0, picture.data(), static_cast<long>(picture.size()), 160, 120,
                           PIX_FMT_BGR24),
            0);
  EXPECT_EQ(muxer.OnBuffer(2, 0, picture.data(), static_cast<long>(picture.size()), 160, 120,
                           PIX_FMT_BGR24),
            1);
  Feed(cam1, kGreen);
  EXPECT_EQ(FramesIn(director), 0);
  (void)cam2;
}

TEST_F(SorvoMuxerTest, StopAllMuxReleasesTheFittingSoTheWarningComesAgain) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);
  LogCapture log;
  Feed(cam1, kGreen);
  Feed(cam1, kGreen);
  ASSERT_EQ(LinesAt(log, SORVO_LOG_WARN).size(), 1u);
  EXPECT_EQ(LinesAt(log, SORVO_LOG_WARN)[0].text,
            "单流导播分辨率与源(cam1)分辨率大小不一样,需要resize:单流:320,240;源:160,120");

  EXPECT_EQ(muxer.StopAllMux(), 1u);
  EXPECT_EQ(muxer.GetDirector().get(), nullptr);
  Feed(cam1, kGreen);  // no longer forwarded
  EXPECT_EQ(muxer.SetCurSingleMux(CAMERA_1), 0);

  MakeDirector(320, 240, ZOOM_STRETCH);
  ASSERT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(cam1)), 1u);
  Feed(cam1, kGreen);  // camera 1 is still the selected and active camera
  EXPECT_EQ(FramesIn(director), 1);
  EXPECT_EQ(LinesAt(log, SORVO_LOG_WARN).size(), 2u);
}

TEST_F(SorvoMuxerTest, StartMultMuxWithoutCamerasOrDirectorMakesNoFile) {
  SorvoMuxer bare;
  EXPECT_EQ(bare.StartMultMux(), 0);
  MakeDirector(320, 240, ZOOM_STRETCH);
  EXPECT_EQ(muxer.StartMultMux(), 0);
  AddCamera(1, 160, 120, PIX_FMT_BGR24, false);  // in the table, but not registered
  EXPECT_EQ(muxer.StartMultMux(), 0);
  EXPECT_FALSE(fs::exists(MultiStreamPath()));
}

TEST_F(SorvoMuxerTest, MultiStreamFileHoldsOneStreamPerRegisteredCameraInIdOrder) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam3 = AddCamera(3, 160, 120);
  AudioTapSink* cam1 = AddCamera(1, 176, 144, PIX_FMT_YUV420P);
  LogCapture log;
  ASSERT_EQ(muxer.StartMultMux(), 1);
  const auto info = LinesAt(log, SORVO_LOG_INFO);
  ASSERT_EQ(info.size(), 1u);
  EXPECT_EQ(info[0].text, "创建多流文件成功:" + MultiStreamPath());
  for (int i = 0; i < 4; ++i) {
    FeedAndWaitForPacket(cam1, kBlue);
    FeedAndWaitForPacket(cam3, kOrange);
  }
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(MultiStreamPath(), true);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 2u);
  EXPECT_EQ(file.streams[0].width, 176);  // camera 1
  EXPECT_EQ(file.streams[1].width, 160);  // camera 3
  const Yuv blue = Bt601(kBlue.r, kBlue.g, kBlue.b);
  const Yuv orange = Bt601(kOrange.r, kOrange.g, kOrange.b);
  for (int s = 0; s < 2; ++s) {
    EXPECT_EQ(file.streams[s].mediaType, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(file.streams[s].decodeErrors, 0);
    ASSERT_EQ(file.streams[s].pictures.size(), 4u) << s;
    EXPECT_TRUE(file.PacketsOf(s).front().key) << s;
    for (const auto& picture : file.streams[s].pictures) {
      const Yuv seen = MeanColour(picture, 8, 8, picture.width - 8, picture.height - 8);
      EXPECT_TRUE(Near(seen, s == 0 ? blue : orange, 6)) << s << ": " << seen;
    }
  }
}

TEST_F(SorvoMuxerTest, AudioReachesEverySinkAndTheFile) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam0 = AddCamera(0, 160, 120);
  AudioTapSink* cam2 = AddCamera(2, 160, 120);
  AudioTapSink* listed = AddCamera(6, 160, 120, PIX_FMT_BGR24, false);  // table only

  // No file is open: the sinks and the director still get the packet.
  std::vector<uint8_t> bytes(96, 0x55);
  BorrowedPacket packet(bytes, AV_PKT_FLAG_KEY);
  EXPECT_EQ(muxer.OnEncodeData(kAudioDataTag, packet.get()), 1);
  EXPECT_EQ(cam0->audioPackets.load(), 1);
  EXPECT_EQ(cam2->audioPackets.load(), 1);
  EXPECT_EQ(listed->audioPackets.load(), 1);
  EXPECT_EQ(muxer.Director()->audioPackets.load(), 1);

  // The host attaches an audio encoder to the writer: the file gets an audio stream after
  // the video streams, fed through the controller.
  // The audio sink is registered with tag 200 and is itself the writer's audio encoder.
  CAudioSinkFF microphone;
  const tWAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
  ASSERT_EQ(microphone.Create("mic", nullptr, format, 0), 1);
  microphone.SetEncodeDataOutputCB(kAudioDataTag, &muxer);
  ASSERT_EQ(muxer.GetMultiFile().AttachAudioEncoder(0, &microphone), 1);
  ASSERT_EQ(muxer.StartMultMux(), 1);
  FeedAndWaitForPacket(cam0, kGreen);
  FeedAndWaitForPacket(cam2, kBlue);
  IGrabberCallBack& capture = microphone;
  int fed = 0;
  for (; fed < 44100 / 4; fed += 1024) {
    std::vector<uint8_t> pcm = sorvo::test::Tone(440, 44100, 2, fed, 1024);
    capture.OnBuffer(0, 0, pcm.data(), static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
  }
  microphone.Close();
  microphone.SetEncodeDataOutputCB(0, nullptr);
  muxer.StopAllMux();

  const ProbedFile file = ProbeFile(MultiStreamPath());
  ASSERT_EQ(file.streams.size(), 3u);
  EXPECT_EQ(file.streams[0].mediaType, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(file.streams[1].mediaType, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(file.streams[2].mediaType, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(file.streams[2].codecId, AV_CODEC_ID_MP3);
  const int written = static_cast<int>(file.PacketsOf(2).size());
  EXPECT_GT(written, 5);
  EXPECT_GT(file.streams[2].decodedFrames, 0);
  // All the sound fed is in the file: what decodes is the PCM plus the codec's own start-up
  // delay (576 + 529 samples), rounded up to whole 1,152-sample frames.
  const int64_t decoded = file.streams[2].decodedSamples;
  EXPECT_GE(decoded, fed);
  EXPECT_LE(decoded, fed + 1105 + 1152);
  // Every packet went to each sink as well (plus the one before the file).
  EXPECT_EQ(cam0->audioPackets.load(), 1 + written);
  EXPECT_EQ(listed->audioPackets.load(), 1 + written);
}

TEST_F(SorvoMuxerTest, AnEarlierMultiStreamFileIsMovedAsideNotOverwritten) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  ASSERT_EQ(muxer.StartMultMux(), 1);
  FeedAndWaitForPacket(cam1, kGreen);
  FeedAndWaitForPacket(cam1, kGreen);
  ASSERT_EQ(muxer.StartMultMux(), 1);  // the first file is closed and moved aside
  FeedAndWaitForPacket(cam1, kBlue);
  muxer.StopAllMux();

  const ProbedFile earlier = ProbeFile(sorvo::BackupName(MultiStreamPath(), 1));
  ASSERT_TRUE(earlier.opened);
  ASSERT_EQ(earlier.streams.size(), 1u);
  EXPECT_EQ(earlier.streams[0].decodedFrames, 2);
  const ProbedFile later = ProbeFile(MultiStreamPath());
  ASSERT_TRUE(later.opened);
  EXPECT_EQ(later.streams[0].decodedFrames, 1);
  EXPECT_TRUE(later.PacketsOf(0).front().key);

  // Where the file cannot be moved aside it is kept as it is and no new file is made.
  const std::string kept = ReadWholeFile(MultiStreamPath());
  MakeDirector(320, 240, ZOOM_STRETCH);
  ASSERT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(cam1)), 1u);
  LogCapture log;
  {
    sorvo::test::ScopedBackupFault stuck(sorvo::BackupFault::kNothingMoves);
    EXPECT_EQ(muxer.StartMultMux(), 0);
  }
  FeedAndWaitForPacket(cam1, kGreen);
  muxer.StopAllMux();
  EXPECT_TRUE(ReadWholeFile(MultiStreamPath()) == kept) << "the earlier file was changed";
  EXPECT_FALSE(fs::exists(sorvo::BackupName(MultiStreamPath(), 2)));
  ASSERT_EQ(LinesAt(log, SORVO_LOG_ERROR).size(), 1u);
  EXPECT_EQ(LinesAt(log, SORVO_LOG_ERROR)[0].text.rfind("无法创建多流文件:" + MultiStreamPath(), 0),
            0u);
}

TEST_F(SorvoMuxerTest, ARegisteredCameraWithoutAnEncoderInTheTableMakesNoFile) {
  MakeDirector(320, 240, ZOOM_STRETCH);
  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  AudioTapSink* cam3 = AddCamera(3, 160, 120);
  ASSERT_EQ(muxer.StartMultMux(), 1);
  muxer.StopAllMux();
  fs::remove(MultiStreamPath());
  // Camera 3's sink goes away; camera 2 is registered but never put into the table. The
  // writer's second slot still names camera 3's encoder from the first file.
  muxer.SetSink(3, nullptr);
  cam3->SetEncodeDataOutputCB(nullptr);
  MakeDirector(320, 240, ZOOM_STRETCH);
  ASSERT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(cam1)), 1u);
  AddCamera(2, 160, 120);
  muxer.SetSink(2, nullptr);
  LogCapture log;
  EXPECT_EQ(muxer.StartMultMux(), 0);
  ASSERT_EQ(LinesAt(log, SORVO_LOG_ERROR).size(), 1u);
  EXPECT_EQ(LinesAt(log, SORVO_LOG_ERROR)[0].text, "无法创建多流文件:" + MultiStreamPath());
  EXPECT_FALSE(fs::exists(MultiStreamPath()));
}

TEST_F(SorvoMuxerTest, DirectorPathTooLongForTheFileNameIsRefused) {
  const std::string folder = dir.path() + "/" + std::string(500, 'x');
  ASSERT_EQ(muxer.CreateSingleMux("director", (folder + "/director.mp4").c_str(), 320, 240,
                                  PIX_FMT_YUV420P, 25, 400000, 0, ZOOM_STRETCH, 0),
            1u);
  AddCamera(1, 160, 120);
  LogCapture log;
  EXPECT_EQ(muxer.StartMultMux(), 0);
  ASSERT_EQ(LinesAt(log, SORVO_LOG_ERROR).size(), 1u);
  EXPECT_EQ(LinesAt(log, SORVO_LOG_ERROR)[0].text,
            "无法创建多流文件:" + folder + "/" + sorvo::kMultiStreamFileName);
}

TEST(MultiStreamNameTest, TheFileGoesBesideTheDirectorsFile) {
  EXPECT_EQ(sorvo::MultiStreamFileName("/rec/day/director.mp4"), "/rec/day/导播多流.mp4");
  EXPECT_EQ(sorvo::MultiStreamFileName("/director.mp4"), "/导播多流.mp4");
  EXPECT_EQ(sorvo::MultiStreamFileName("director.mp4"), "导播多流.mp4");
  EXPECT_EQ(sorvo::MultiStreamFileName(""), "");
  // 512 bytes hold the name with its terminating NUL.
  const std::string fits(511 - 1 - std::strlen(sorvo::kMultiStreamFileName), 'f');
  EXPECT_TRUE(sorvo::FitsMultiStreamName(sorvo::MultiStreamFileName(fits + "/d.mp4")));
  EXPECT_FALSE(sorvo::FitsMultiStreamName(sorvo::MultiStreamFileName(fits + "f/d.mp4")));
}

TEST_F(SorvoMuxerTest, DirectorServesItsStreamOnItsPort) {
  const unsigned short port = sorvo::test::FreeLoopbackPort();
  ASSERT_NE(port, 0);
  sorvo::SetDirectorPortForTesting(port);
  MakeDirector(320, 240, ZOOM_STRETCH);
  sorvo::test::LoopbackClient client(port);
  ASSERT_TRUE(client.connected());
  const std::string greeting = client.Read(sizeof(StreamInfo));
  ASSERT_EQ(greeting.size(), sizeof(StreamInfo));
  StreamInfo info;
  std::memcpy(&info, greeting.data(), sizeof(info));
  EXPECT_EQ(info.width, 320);
  EXPECT_EQ(info.height, 240);

  AudioTapSink* cam1 = AddCamera(1, 160, 120);
  ASSERT_EQ(muxer.SetCurSingleMux(CAMERA_1), 1);
  Feed(cam1, kGreen);
  const std::string header = client.Read(20);
  ASSERT_EQ(header.size(), 20u);
  int32_t size = 0, key = 0;
  std::memcpy(&size, header.data(), 4);
  std::memcpy(&key, header.data() + 8, 4);
  EXPECT_GT(size, 0);
  EXPECT_EQ(key, 1);
  EXPECT_EQ(client.Read(size).size(), static_cast<size_t>(size));
}

}  // namespace
