// One sorvo-record session whose cameras come from real servers, each started by the test
// on a free loopback port: an SRT listener (ffmpeg), MPEG-TS over UDP (ffmpeg), RTMP through
// nginx's RTMP module fed by ffmpeg, HTTP MJPEG (ffmpeg's own HTTP server) and a live HLS
// playlist (ffmpeg writing it, Python's web server serving it). The SRT and RTMP servers are
// killed midway and started again on the same ports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "LiveSourceSupport.h"
#include "PublishTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;
using boost::property_tree::ptree;
using std::chrono::seconds;

// Each camera in a colour of its own, none of them the no-signal slate's.
struct Camera {
  const char* name;
  uint32_t colour;
};
constexpr Camera kCameras[] = {{"srt", 0xC03020},
                               {"udp", 0x20C040},
                               {"rtmp", 0x2040C0},
                               {"mjpeg", 0xC0C020},
                               {"hls", 0xC020C0}};
constexpr int kSrt = 0, kRtmp = 2, kHls = 4;

std::string Lavfi(uint32_t colour) {
  char text[64];
  std::snprintf(text, sizeof(text), "color=c=0x%06X:size=320x240:rate=25", colour);
  return text;
}

// One letter per picture: C the camera's colour, S the slate, ? anything else; then runs.
std::string Runs(const ProbedStream& video, uint32_t colour) {
  std::string runs;
  for (const Picture& picture : video.pictures) {
    const char kind = IsNoSignalPicture(picture) ? 'S' : ShowsColour(picture, colour) ? 'C' : '?';
    if (runs.empty() || runs.back() != kind)
      runs += kind;
  }
  return runs;
}

class ServerSourcesRecordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir;
    s_record = new Recorded;
    Record(*s_dir, s_record);
  }
  static void TearDownTestSuite() {
    delete s_record;
    delete s_dir;
  }

  struct Recorded {
    bool ok = false;
    std::string out;  // the recorder's console
    ptree summary;
    std::vector<ProbedFile> files;
  };

  static std::unique_ptr<ToolProcess> SrtListener(int port, const std::string& folder) {
    auto server = SendLavfi(Lavfi(kCameras[kSrt].colour),
                            {"-c:v", "mpeg2video", "-g", "12", "-f", "mpegts",
                             "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener"},
                            folder);
    return WaitUntilUdpBound(port, seconds(30)) ? std::move(server) : nullptr;
  }

  static std::unique_ptr<ToolProcess> RtmpFeed(RtmpServer& server, const std::string& folder) {
    const size_t seen = server.log().size();
    auto feed = SendLavfi(
        Lavfi(kCameras[kRtmp].colour),
        {"-c:v", "libx264", "-preset", "ultrafast", "-g", "12", "-f", "flv", server.Url("cam")},
        folder);
    const auto deadline = std::chrono::steady_clock::now() + seconds(30);
    while (server.log().find("publish: name='cam'", seen) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline)
        return nullptr;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return feed;
  }

  static void Record(TestAppDir& dir, Recorded* recorded) {
    const std::string folder = dir.path();
    const int srtPort = FreeUdpPort();
    std::unique_ptr<ToolProcess> srt = SrtListener(srtPort, folder);
    ASSERT_NE(srt, nullptr);
    const int udpPort = FreeUdpPort();
    auto udp = SendLavfi(Lavfi(kCameras[1].colour),
                         {"-c:v", "mpeg2video", "-g", "12", "-f", "mpegts",
                          "udp://127.0.0.1:" + std::to_string(udpPort) + "?pkt_size=1316"},
                         folder);
    const std::string nginxFolder = dir.File("nginx");
    ASSERT_EQ(mkdir(nginxFolder.c_str(), 0755), 0);
    RtmpServer nginx(nginxFolder);
    ASSERT_TRUE(nginx.Start()) << nginx.log();
    std::unique_ptr<ToolProcess> rtmp = RtmpFeed(nginx, folder);
    ASSERT_NE(rtmp, nullptr) << nginx.log();
    const int mjpegPort = FreeTcpPort();
    auto mjpeg = SendLavfi(Lavfi(kCameras[3].colour),
                           {"-c:v", "mjpeg", "-q:v", "4", "-f", "mpjpeg", "-listen", "1",
                            "http://127.0.0.1:" + std::to_string(mjpegPort) + "/cam.mjpg"},
                           folder);
    ASSERT_TRUE(WaitUntilListening(mjpegPort, seconds(30)));
    const std::string hls = dir.File("hls");
    ASSERT_EQ(mkdir(hls.c_str(), 0755), 0);
    auto playlist = SendLavfi(
        Lavfi(kCameras[kHls].colour),
        {"-c:v", "libx264", "-preset", "ultrafast", "-g", "25", "-f", "hls", "-hls_time", "1",
         "-hls_list_size", "4", "-hls_flags", "delete_segments+temp_file", hls + "/live.m3u8"},
        folder);
    const int webPort = FreeTcpPort();
    ToolProcess web(
        kPythonProgram,
        {"-m", "http.server", std::to_string(webPort), "--bind", "127.0.0.1", "--directory", hls},
        folder);
    ASSERT_TRUE(WaitUntilListening(webPort, seconds(30)));
    // A live player starts a few segments from the end: wait until there are some.
    ASSERT_TRUE(WaitForFileText(hls + "/live.m3u8", "live2.ts", seconds(60)));

    const std::string out = dir.File("session");
    const std::string local = "://127.0.0.1:";
    // The director stays on camera0: an HLS camera's pictures carry capture times up to a
    // segment back, and the director's cut switching to it follows them no more.
    std::vector<std::string> args = {"--seconds",
                                     "0",
                                     "--switch-every",
                                     "0",
                                     "--director",
                                     "320x240",
                                     "--audio",
                                     "none",
                                     "--no-console",
                                     "--ports",
                                     std::to_string(FreePortBase(10)),
                                     "--out",
                                     out,
                                     "--json",
                                     out + ".json"};
    for (const std::string& camera :
         {"srt" + local + std::to_string(srtPort), "udp" + local + std::to_string(udpPort),
          nginx.Url("cam"), "http" + local + std::to_string(mjpegPort) + "/cam.mjpg",
          "http" + local + std::to_string(webPort) + "/live.m3u8"})
      args.insert(args.end(), {"--camera", camera});
    ToolProcess recorder(kRecordProgram, args, folder);
    // Two more progress lines: two seconds more of the session.
    auto twoSecondsMore = [&recorder] {
      for (int line = 0; line < 2; ++line)
        if (!recorder.WaitForOutput(" s |", seconds(60), recorder.Stdout().size()))
          return false;
      return true;
    };
    ASSERT_TRUE(recorder.WaitForOutput("\n3.0 s |", seconds(120))) << recorder.Stdout();
    // SRT's and RTMP's servers go, and come back on their ports a while after the recorder
    // saw them go.
    srt.reset();
    rtmp.reset();
    nginx.Kill();
    for (const char* camera : {"camera0: signal lost at", "camera2: signal lost at"})
      ASSERT_TRUE(recorder.WaitForOutput(camera, seconds(60))) << recorder.Stdout();
    ASSERT_TRUE(twoSecondsMore());
    srt = SrtListener(srtPort, folder);
    ASSERT_NE(srt, nullptr);
    ASSERT_TRUE(nginx.Start()) << nginx.log();
    rtmp = RtmpFeed(nginx, folder);
    ASSERT_NE(rtmp, nullptr) << nginx.log();
    for (const char* camera : {"camera0: signal back at", "camera2: signal back at"})
      ASSERT_TRUE(recorder.WaitForOutput(camera, seconds(60))) << recorder.Stdout();
    ASSERT_TRUE(twoSecondsMore());
    recorder.Signal(SIGTERM);
    ASSERT_EQ(recorder.Wait(seconds(120)), 0) << recorder.Stdout() << recorder.Stderr();
    recorded->out = recorder.Stdout();
    ASSERT_NO_THROW(boost::property_tree::read_json(out + ".json", recorded->summary));
    for (int camera = 0; camera < 5; ++camera)
      recorded->files.push_back(
          ProbeFile(out + "/camera" + std::to_string(camera) + ".mp4", /*keepPictures=*/true));
    recorded->ok = true;
  }

  static const ptree& Sink(int camera) {
    for (const auto& sink : s_record->summary.get_child("sinks"))
      if (sink.second.get<std::string>("name") == "camera" + std::to_string(camera))
        return sink.second;
    throw std::runtime_error("no sink for the camera");
  }

  void SetUp() override { ASSERT_TRUE(s_record->ok) << "the session was not recorded"; }

  static TestAppDir* s_dir;
  static Recorded* s_record;
};

TestAppDir* ServerSourcesRecordTest::s_dir = nullptr;
ServerSourcesRecordTest::Recorded* ServerSourcesRecordTest::s_record = nullptr;

TEST_F(ServerSourcesRecordTest, EveryServersPicturesAreRecordedForTheWholeSession) {
  EXPECT_TRUE(s_record->summary.get<bool>("allGood")) << s_record->out;
  const double session = s_record->files[1].streams.at(0).endSeconds;
  EXPECT_GT(session, 6.0);
  for (int camera = 0; camera < 5; ++camera) {
    SCOPED_TRACE(kCameras[camera].name);
    const ProbedFile& file = s_record->files[camera];
    ASSERT_TRUE(file.opened);
    const ProbedStream& video = file.streams.at(0);
    EXPECT_EQ(video.codecId, AV_CODEC_ID_MPEG4);
    EXPECT_EQ(video.width, 320);
    EXPECT_EQ(video.decodeErrors, 0);
    EXPECT_NEAR(video.endSeconds, session, 0.1);
    ASSERT_FALSE(video.pictures.empty());
    EXPECT_TRUE(ShowsColour(video.pictures.back(), kCameras[camera].colour));
    // Only the servers that were killed lost their signal. The others' pictures reached
    // the file, even a source's that hands them over in bursts (HLS a segment at a time,
    // of which barely two pictures in five were kept once): all but its first moments'.
    const bool killed = camera == kSrt || camera == kRtmp;
    EXPECT_EQ(Sink(camera).get_child("signalLosses", {}).size(), killed ? 1u : 0u);
    if (!killed) {
      EXPECT_GE(video.decodedFrames, 0.7 * 25 * session) << s_record->out;
    }
  }
}

TEST_F(ServerSourcesRecordTest, AKilledServerIsLostAndBackInTheSameFile) {
  for (const int camera : {kSrt, kRtmp}) {
    SCOPED_TRACE(kCameras[camera].name);
    const auto& losses = Sink(camera).get_child("signalLosses");
    ASSERT_EQ(losses.size(), 1u);
    const double lostAt = losses.front().second.get<double>("lostAt");
    const double backAt = losses.front().second.get<double>("backAt");
    EXPECT_GT(lostAt, 2.5);
    EXPECT_GT(backAt - lostAt, 1.0);
    EXPECT_NE(s_record->out.find("camera" + std::to_string(camera) + ": signal back at"),
              std::string::npos);
    // Its own pictures, the slate from the loss on, its own again from the return on.
    const ProbedStream& video = s_record->files[camera].streams.at(0);
    EXPECT_EQ(Runs(video, kCameras[camera].colour), "CSC");
    size_t slate = 0;
    while (slate < video.pictures.size() && !IsNoSignalPicture(video.pictures[slate]))
      ++slate;
    size_t again = slate;
    while (again < video.pictures.size() && IsNoSignalPicture(video.pictures[again]))
      ++again;
    ASSERT_LT(again, video.pictures.size());
    // A server gone without closing its connection (SRT, over UDP) is found silent after
    // two seconds: its last picture stands until then.
    EXPECT_GT(video.pictureSeconds[slate], lostAt - 0.2);
    EXPECT_LT(video.pictureSeconds[slate], lostAt + 2.5);
    EXPECT_NEAR(video.pictureSeconds[again], backAt, 0.2);
  }
}

}  // namespace
