// sorvo-record with sources that misbehave, served by the test itself on loopback: an HTTP
// MJPEG camera that stalls in the middle of a picture and later between pictures, a UDP
// MPEG-TS sender stopped and started again, and a sorvo:// peer whose greeting claims
// 4999x4999 at 25/s while it sends 160x120 pictures at 10/s. Every picture carries its
// sender's counter, so the files say when each picture was sent. One session, many checks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/property_tree/json_parser.hpp>
#include <cmath>
#include <filesystem>
#include <map>

extern "C" {
#include <libavutil/avutil.h>
}

#include "LiveSourceSupport.h"
#include "ToolPaths.h"
#include "common/CounterPicture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "sink/PacketHeader.h"
#include "sink/StreamInfo.h"

namespace {

using namespace sorvo::test;
using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr int kSessionSeconds = 30;
constexpr double kPicture = 1.0 / 25;
// The MJPEG camera's server, in seconds since its first client: it stalls at the first
// time of each pair and serves again from the second.
constexpr double kStalls[2][2] = {{6, 10}, {18, 22}};

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A lavfi graph of 160x120 pictures at `rate` that carry CounterPicture's marks: the frame
// number as the counter, and `camera`.
std::string CounterGraph(int camera, int rate) {
  std::string graph =
      "testsrc=size=160x120:rate=" + std::to_string(rate) + ",drawbox=w=128:h=48:c=black:t=fill";
  for (int bit = 0; bit < 20; ++bit) {
    const bool cameraBit = bit >= 16;
    if (cameraBit && !((camera >> (bit - 16)) & 1))
      continue;
    graph += ",drawbox=x=" + std::to_string(bit % 8 * kCounterBlock) +
             ":y=" + std::to_string(bit / 8 * kCounterBlock) + ":w=16:h=16:c=white:t=fill" +
             (cameraBit ? "" : ":enable='mod(floor(n/" + std::to_string(1 << bit) + "),2)'");
  }
  return graph;
}

// `count` pictures of CounterGraph, each encoded by `codec` as one file's bytes.
std::vector<std::string> EncodedPictures(const TestAppDir& dir,
                                         int camera,
                                         int rate,
                                         int count,
                                         const std::string& codec) {
  const std::string folder = dir.File("pictures" + std::to_string(camera));
  std::filesystem::create_directory(folder);
  RunTool(kFfmpegProgram,
          {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i", CounterGraph(camera, rate),
           "-frames:v", std::to_string(count), "-c:v", codec, "-g", "10", "-f", "image2",
           folder + "/%05d"},
          dir.path());
  std::vector<std::string> pictures;
  for (int i = 1; i <= count; ++i)
    pictures.push_back(ReadWholeFile(folder + "/" + std::string(5 - std::to_string(i).size(), '0') +
                                     std::to_string(i)));
  return pictures;
}

// A connection held open in silence until the test ends.
void HoldSilent(const std::atomic<bool>& stop) {
  while (!stop.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// An HTTP MJPEG camera at 25/s whose picture n is sent n/25 s after its first client came.
// At the first stall it sends half a picture and falls silent, at the second it falls
// silent between pictures; each time the connection stays open, and new ones are closed at
// once until the stall ends.
struct MjpegCamera {
  std::vector<std::string> jpegs;
  std::once_flag started;
  Clock::time_point start;

  void Serve(int socket, const std::atomic<bool>& stop) {
    char request[4096];
    recv(socket, request, sizeof(request), 0);
    std::call_once(started, [this] { start = Clock::now(); });
    for (const auto& stall : kStalls)
      if (Since(start) >= stall[0] && Since(start) < stall[1])
        return;
    if (!LoopbackServer::SendAll(
            socket,
            "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=p\r\n\r\n"))
      return;
    for (size_t n = std::llround(Since(start) / kPicture); !stop.load(); ++n) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(n * 40000));
      const std::string& jpeg = jpegs[n % jpegs.size()];
      std::string part =
          "--p\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
          "\r\n\r\n" + jpeg + "\r\n";
      const bool stalls = n * kPicture >= kStalls[0][0] && n * kPicture < kStalls[0][1];
      if (stalls || (n * kPicture >= kStalls[1][0] && n * kPicture < kStalls[1][1])) {
        LoopbackServer::SendAll(socket, stalls ? part.substr(0, part.size() / 2) : "");
        return HoldSilent(stop);
      }
      if (!LoopbackServer::SendAll(socket, part))
        return;
    }
  }
};

// A Sorvo sink's stream whose greeting claims 4999x4999 at 25/s; its packets are 160x120
// pictures, packet n sent n/10 s after the connection.
struct LyingSorvoPeer {
  std::vector<std::string> packets;

  void Serve(int socket, const std::atomic<bool>& stop) {
    StreamInfo greeting;
    greeting.width = greeting.height = 4999;
    greeting.frameRate = 25;
    greeting.codecId = 13;
    greeting.pixelFormat = 0;
    if (!LoopbackServer::SendAll(socket, std::string(reinterpret_cast<char*>(&greeting), 80)))
      return;
    const Clock::time_point start = Clock::now();
    for (int n = 0; !stop.load(); ++n) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(n * 100));
      const std::string& packet = packets[n % packets.size()];
      // A key frame carries the stream's headers: a visual object sequence start code.
      const PacketHeader header{static_cast<int32_t>(packet.size()), n,
                                packet.compare(0, 4, std::string("\0\0\1\xB0", 4)) == 0, 4999,
                                4999};
      if (!LoopbackServer::SendAll(
              socket, std::string(reinterpret_cast<const char*>(&header), 20) + packet))
        return;
    }
  }
};

// A picture of a camera's file: when it is shown, and its sender's counter (-1: the slate,
// -2: anything else).
struct Shown {
  double at;
  int counter;
};

std::vector<Shown> ShownPictures(const ProbedStream& video, int camera) {
  std::vector<Shown> shown;
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    const CounterMark mark = ReadCounter(video.pictures[i]);
    shown.push_back({video.pictureSeconds[i], mark.readable && mark.camera == camera ? mark.counter
                                              : IsNoSignalPicture(video.pictures[i]) ? -1
                                                                                     : -2});
  }
  return shown;
}

std::vector<Shown> Own(const std::vector<Shown>& shown) {
  std::vector<Shown> own;
  std::copy_if(shown.begin(), shown.end(), std::back_inserter(own),
               [](const Shown& picture) { return picture.counter >= 0; });
  return own;
}

// The runs of a camera's own pictures, between slates.
std::vector<std::vector<Shown>> OwnRuns(const std::vector<Shown>& shown) {
  std::vector<std::vector<Shown>> runs(1);
  for (const Shown& picture : shown) {
    if (picture.counter >= 0)
      runs.back().push_back(picture);
    else if (picture.counter == -1 && !runs.back().empty())
      runs.emplace_back();
  }
  if (runs.back().empty())
    runs.pop_back();
  return runs;
}

// How far apart the pictures of `run` are from where their counters put them, relative to
// the first: 0 when every picture sits where it was sent.
double Spread(const std::vector<Shown>& run, double period, double* offset) {
  double low = 1e9, high = -1e9;
  for (const Shown& picture : run) {
    low = std::min(low, picture.at - picture.counter * period);
    high = std::max(high, picture.at - picture.counter * period);
  }
  *offset = low;
  return high - low;
}

class MisbehavingSourcesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TestAppDir();
    dir->WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
    Record();
    boost::property_tree::read_json(dir->File("summary.json"), summary);
    // Pictures are kept of the files whose counters are read, when they are the size sent.
    for (const auto& [name, counted] : std::map<std::string, bool>{{"camera0.mp4", false},
                                                                   {"camera1.mp4", true},
                                                                   {"camera2.mp4", true},
                                                                   {"camera3.mp4", true},
                                                                   {"director.mp4", true},
                                                                   {"导播多流.mp4", false},
                                                                   {"sound.wav", false}}) {
      files[name] = ProbeFile(dir->File("session/" + name));
      if (counted && !files[name].streams.empty() && files[name].streams[0].width == 160)
        files[name] = ProbeFile(dir->File("session/" + name), /*keepPictures=*/true);
    }
  }
  // Records the session, its sources misbehaving as the test's servers are told to.
  static void Record() {
    static MjpegCamera mjpeg;
    mjpeg.jpegs = EncodedPictures(*dir, 1, 25, 900, "mjpeg");
    static LyingSorvoPeer peer{EncodedPictures(*dir, 3, 10, 400, "mpeg4")};
    static LoopbackServer mjpegServer([](int s, const auto& stop) { mjpeg.Serve(s, stop); });
    static LoopbackServer peerServer([](int s, const auto& stop) { peer.Serve(s, stop); });
    const int base = FreePortBase(10);
    const std::string udp = "udp://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::vector<std::string> sender = {
        "-hide_banner", "-loglevel",  "error", "-re", "-f", "lavfi",  "-i", CounterGraph(2, 25),
        "-c:v",         "mpeg2video", "-g",    "5",   "-f", "mpegts", udp};
    auto udpSender = std::make_unique<ToolProcess>(kFfmpegProgram, sender, dir->path());
    senderStarts[0] = Clock::now();
    ToolProcess recorder(
        kRecordProgram,
        {"--seconds", std::to_string(kSessionSeconds), "--camera", "test:160x120", "--camera",
         "http://127.0.0.1:" + std::to_string(mjpegServer.port()) + "/cam", "--camera", udp,
         "--camera", "sorvo://127.0.0.1:" + std::to_string(peerServer.port()), "--director",
         "160x120", "--ports", std::to_string(base), "--out", dir->File("session"), "--json",
         dir->File("summary.json")},
        dir->path());
    // The UDP sender stops for six seconds in the middle of the session.
    recorder.WaitForOutput("8.0 s |", seconds(60));
    udpSender.reset();
    recorder.WaitForOutput("14.0 s |", seconds(60));
    udpSender = std::make_unique<ToolProcess>(kFfmpegProgram, sender, dir->path());
    senderStarts[1] = Clock::now();
    exitCode = recorder.Wait(seconds(120));
    output = recorder.Stdout() + recorder.Stderr();
  }
  static void TearDownTestSuite() { delete dir; }
  void SetUp() override { ASSERT_EQ(exitCode, 0) << output; }

  // The pictures of a file's first stream; none when it has no stream.
  static const ProbedStream& Video(const std::string& name) {
    static const ProbedStream none;
    return files[name].streams.empty() ? none : files[name].streams[0];
  }
  static size_t Losses(const std::string& camera) {
    for (const auto& sink : summary.get_child("sinks"))
      if (sink.second.get<std::string>("name") == camera)
        return sink.second.get_child_optional("signalLosses")
                   ? sink.second.get_child("signalLosses").size()
                   : 0;
    return 99;
  }

  static inline TestAppDir* dir = nullptr;
  static inline Clock::time_point senderStarts[2];
  static inline int exitCode = -1;
  static inline std::string output;
  static inline boost::property_tree::ptree summary;
  static inline std::map<std::string, ProbedFile> files;
};

TEST_F(MisbehavingSourcesTest, EveryFileIsAsLongAsTheSession) {
  std::vector<std::pair<std::string, double>> ends;
  for (const auto& [name, file] : files)
    for (const ProbedStream& stream : file.streams)
      if (stream.mediaType == AVMEDIA_TYPE_VIDEO || stream.mediaType == AVMEDIA_TYPE_AUDIO)
        ends.emplace_back(name + " stream " + std::to_string(stream.index), stream.endSeconds);
  EXPECT_GE(ends.size(), 11u);
  for (const auto& [stream, end] : ends)
    EXPECT_NEAR(end, kSessionSeconds, kPicture + 1e-3) << stream;
}

TEST_F(MisbehavingSourcesTest, AStalledCameraHasStandInsWhereItWasLostAndComesBackWithinASecond) {
  const std::vector<Shown> shown = ShownPictures(Video("camera1.mp4"), 1);
  const std::vector<std::vector<Shown>> runs = OwnRuns(shown);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(Losses("camera1"), 2u) << output;
  double offset = 0;
  // The server's clock runs on through the stalls: no picture moves from where it was sent.
  EXPECT_LT(Spread(Own(shown), kPicture, &offset), 0.3);
  for (int stall = 0; stall < 2; ++stall) {
    EXPECT_LT(runs[stall + 1].front().counter * kPicture - kStalls[stall][1], 1.0) << stall;
    EXPECT_NEAR(runs[stall].back().counter * kPicture, kStalls[stall][0], 0.1) << stall;
  }
  // The file goes on picture after picture (one may be late); only the wait before the loss
  // is noticed holds the last picture on screen.
  for (size_t i = 1; i < shown.size(); ++i)
    EXPECT_LT(shown[i].at - shown[i - 1].at, shown[i].counter == -1 ? 2.2 : 0.2) << i;
}

TEST_F(MisbehavingSourcesTest, AUdpSenderStartedAgainIsBackWithinASecondAndOnTime) {
  const std::vector<std::vector<Shown>> runs = OwnRuns(ShownPictures(Video("camera2.mp4"), 2));
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(Losses("camera2"), 1u) << output;
  double offsets[2];
  for (int run = 0; run < 2; ++run)
    EXPECT_LT(Spread(runs[run], kPicture, &offsets[run]), 0.3) << run;
  EXPECT_LT(runs[1].front().counter * kPicture, 1.0);
  // The second run sits as far after the first as the sender started after it did.
  EXPECT_NEAR(offsets[1] - offsets[0],
              std::chrono::duration<double>(senderStarts[1] - senderStarts[0]).count(), 0.3);
}

TEST_F(MisbehavingSourcesTest, ALyingSlowPeerIsRecordedAtItsPicturesSizeWithLongerPictures) {
  EXPECT_EQ(Video("camera3.mp4").width, 160);
  const std::vector<Shown> shown = Own(ShownPictures(Video("camera3.mp4"), 3));
  double offset = 0;
  EXPECT_LT(Spread(shown, 0.1, &offset), 0.3);
  EXPECT_EQ(Losses("camera3"), 0u);
  EXPECT_NEAR(static_cast<double>(shown.size()), kSessionSeconds * 10, 15);
}

TEST_F(MisbehavingSourcesTest, TheDirectorShowsEachPictureWhenItsCameraDoes) {
  std::map<int, std::map<int, double>> cameraTimes;
  for (int camera : {1, 3})
    for (const Shown& picture :
         ShownPictures(Video("camera" + std::to_string(camera) + ".mp4"), camera))
      cameraTimes[camera].emplace(picture.counter, picture.at);
  const ProbedStream& director = Video("director.mp4");
  int compared = 0;
  for (size_t i = 0; i < director.pictures.size(); ++i) {
    const CounterMark mark = ReadCounter(director.pictures[i]);
    if (!mark.readable || !cameraTimes.count(mark.camera) || mark.counter < 0)
      continue;
    const auto found = cameraTimes[mark.camera].find(mark.counter);
    ASSERT_NE(found, cameraTimes[mark.camera].end()) << i;
    EXPECT_NEAR(director.pictureSeconds[i], found->second, kPicture + 1e-3) << i;
    ++compared;
  }
  EXPECT_GT(compared, 50);
}

}  // namespace
