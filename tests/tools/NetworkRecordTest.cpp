// sorvo-record with network sources, each served by a real server the test starts on a
// loopback port: an RTSP camera (GStreamer's RTSP server), MPEG-TS over TCP from ffmpeg,
// sound from ffmpeg, servers of the test's own that send no stream or garbage; a source
// lost and back, sources never reached, sources that stall and lie, and sixteen cameras.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "LiveSourceSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;
using std::chrono::seconds;

// The recorder's camera ports run from base + 1; the sound is at base + 10.
constexpr int kPortSpan = 10;
// A plain green picture, which no part of the no-signal slate is.
constexpr const char* kGreen = "color=c=0x20C040:size=320x240:rate=25";

bool IsGreen(const Picture& picture) {
  // RGB 32, 192, 64: U about 96, V about 68.
  auto green = [&](int x, int y) {
    const int chroma = (y / 2) * ((picture.width + 1) / 2) + x / 2;
    return picture.u[chroma] < 112 && picture.v[chroma] < 90;
  };
  return green(4, 4) && green(picture.width - 4, picture.height - 4);
}

// One letter per picture: G green, S the no-signal slate, ? anything else.
std::string Kinds(const ProbedStream& video) {
  std::string kinds;
  for (const Picture& picture : video.pictures)
    kinds += IsNoSignalPicture(picture) ? 'S' : IsGreen(picture) ? 'G' : '?';
  return kinds;
}

// "GGGSSG" -> "GSG".
std::string Runs(const std::string& kinds) {
  std::string runs;
  for (const char kind : kinds)
    if (runs.empty() || runs.back() != kind)
      runs += kind;
  return runs;
}

boost::property_tree::ptree SinkNamed(const boost::property_tree::ptree& summary,
                                      const std::string& name) {
  for (const auto& sink : summary.get_child("sinks"))
    if (sink.second.get<std::string>("name") == name)
      return sink.second;
  ADD_FAILURE() << "no sink " << name;
  return {};
}

class NetworkRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = FreePortBase(kPortSpan);
    ASSERT_GT(base, 0) << "no free range of ports";
  }

  TestAppDir dir;
  int base = 0;
};

TEST_F(NetworkRecordTest, AnRtspCameraAndNetworkSoundAreRecorded) {
  ToolProcess rtsp(kPythonProgram, {SORVO_RTSP_TEST_SERVER}, dir.path());
  ASSERT_TRUE(rtsp.WaitForOutput("ready ", seconds(60))) << rtsp.Stderr();
  const std::string ready = rtsp.Stdout();
  const int rtspPort = std::stoi(ready.substr(ready.find("ready ") + 6));
  const int soundPort = FreeLoopbackPort();
  ToolProcess sound(kFfmpegProgram,
                    {"-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
                     "sine=frequency=440:sample_rate=44100", "-c:a", "mp2", "-f", "mpegts",
                     "tcp://127.0.0.1:" + std::to_string(soundPort) + "?listen=1"},
                    dir.path());
  ASSERT_TRUE(WaitUntilListening(soundPort, seconds(30)));

  const std::string out = dir.File("session");
  const std::string rtspUrl = "rtsp://127.0.0.1:" + std::to_string(rtspPort);
  const ToolResult run = RunTool(
      kRecordProgram,
      {"--seconds", "3", "--camera", rtspUrl + "/cam", "--camera", rtspUrl + "/nothing",
       "--audio", "tcp://127.0.0.1:" + std::to_string(soundPort), "--director", "320x240",
       "--ports", std::to_string(base), "--out", out},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("camera0   " + rtspUrl + "/cam (network, 320x240, 25/s)"),
            std::string::npos)
      << run.out;
  // A path the server does not have is a camera without signal, and says why.
  EXPECT_NE(run.out.find("note: camera1 (" + rtspUrl +
                         "/nothing): no signal at the start (Server returned 404 Not Found)"),
            std::string::npos)
      << run.out;

  const ProbedFile camera = ProbeFile(out + "/camera0.mp4", /*keepPictures=*/true);
  ASSERT_TRUE(camera.opened);
  ASSERT_EQ(camera.streams.size(), 2u);
  EXPECT_EQ(camera.streams[0].codecId, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(camera.streams[0].width, 320);
  EXPECT_EQ(camera.streams[0].height, 240);
  EXPECT_EQ(camera.streams[0].decodeErrors, 0);
  EXPECT_GE(camera.streams[0].decodedFrames, 50);
  // The test source's colour bars, not the slate.
  ASSERT_FALSE(camera.streams[0].pictures.empty());
  EXPECT_FALSE(IsNoSignalPicture(camera.streams[0].pictures.back()));
  const ProbedFile lost = ProbeFile(out + "/camera1.mp4", /*keepPictures=*/true);
  ASSERT_EQ(lost.streams.size(), 2u);
  EXPECT_EQ(Kinds(lost.streams[0]).find_first_not_of('S'), std::string::npos);
  EXPECT_NEAR(lost.streams[0].endSeconds, camera.streams[0].endSeconds, 0.04 + 1e-3);

  // The network's sound, 440 Hz, as long as the session.
  const ProbedFile wav = ProbeFile(out + "/sound.wav", /*keepPictures=*/true);
  ASSERT_EQ(wav.streams.size(), 1u);
  EXPECT_NEAR(wav.streams[0].endSeconds, 3.0, 0.5);
  std::vector<int16_t> samples;
  for (float sample : wav.streams[0].sound)
    samples.push_back(static_cast<int16_t>(sample * 32767));
  EXPECT_NEAR(StrongestFrequency(samples, 44100, 200, 1000, 5), 440, 5);
}

TEST_F(NetworkRecordTest, AStreamKilledAndStartedAgainIsLostAndBackInTheSameFile) {
  const int port = FreeLoopbackPort();
  std::unique_ptr<ToolProcess> sender = ServeMpegTs(kGreen, port, dir.path());
  ASSERT_NE(sender, nullptr);
  const std::string out = dir.File("session");
  const std::string json = dir.File("summary.json");
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--camera", "test:320x240", "--camera",
                        "tcp://127.0.0.1:" + std::to_string(port) + ",name=Stage",
                        "--director", "320x240", "--audio", "none", "--ports",
                        std::to_string(base), "--out", out, "--json", json},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("1.0 s |", seconds(60))) << recorder.Stdout();
  // Three seconds of its pictures, then the sender is killed, and started again three
  // seconds after the recorder saw it go.
  std::this_thread::sleep_for(seconds(2));
  sender->Signal(SIGKILL);
  sender->Wait(seconds(30));
  ASSERT_TRUE(recorder.WaitForOutput("camera1 (Stage): signal lost at", seconds(30)))
      << recorder.Stdout();
  std::this_thread::sleep_for(seconds(3));
  sender = ServeMpegTs(kGreen, port, dir.path());
  ASSERT_NE(sender, nullptr);
  ASSERT_TRUE(recorder.WaitForOutput("camera1 (Stage): signal back at", seconds(60)))
      << recorder.Stdout();
  std::this_thread::sleep_for(seconds(2));
  recorder.Signal(SIGTERM);
  ASSERT_EQ(recorder.Wait(seconds(120)), 0) << recorder.Stdout() << recorder.Stderr();

  // In the summary and the JSON: one loss, with its session times.
  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_TRUE(summary.get<bool>("allGood"));
  const boost::property_tree::ptree camera1 = SinkNamed(summary, "camera1");
  EXPECT_EQ(camera1.get<long long>("dropped"), 0);
  EXPECT_FALSE(camera1.get<bool>("noSignalAtEnd"));
  const auto& losses = camera1.get_child("signalLosses");
  ASSERT_EQ(losses.size(), 1u);
  const double lostAt = losses.front().second.get<double>("lostAt");
  const double backAt = losses.front().second.get<double>("backAt");
  EXPECT_GT(lostAt, 2.0);
  EXPECT_GT(backAt - lostAt, 3.0);
  EXPECT_EQ(losses.front().second.get<std::string>("why"), "the stream ended");
  EXPECT_NE(recorder.Stdout().find("Signal lost and back (session time):"), std::string::npos);

  // The camera's file: its pictures, the no-signal pictures from the loss on, its pictures
  // again from the return on; as long as the other camera's.
  // Named Stage, the camera's file is Stage.mp4.
  const ProbedFile file = ProbeFile(out + "/Stage.mp4", /*keepPictures=*/true);
  ASSERT_EQ(file.streams.size(), 2u);  // the pictures and their timecode track
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.decodeErrors, 0);
  const std::string kinds = Kinds(video);
  EXPECT_EQ(Runs(kinds), "GSG") << kinds;
  const size_t firstSlate = kinds.find('S');
  const size_t firstBack = kinds.find('G', firstSlate);
  ASSERT_NE(firstBack, std::string::npos) << kinds;
  EXPECT_NEAR(video.pictureSeconds[firstSlate], lostAt, 0.1);
  EXPECT_NEAR(video.pictureSeconds[firstBack], backAt, 0.1);
  EXPECT_EQ(camera1.get<long long>("standIns"), static_cast<long long>(firstBack - firstSlate));
  const ProbedFile other = ProbeFile(out + "/camera0.mp4");
  ASSERT_EQ(other.streams.size(), 2u);
  EXPECT_NEAR(video.endSeconds, other.streams[0].endSeconds, 1.0 / 25 + 1e-3);
  EXPECT_NEAR(video.pictureSeconds[0], 0, 1e-3);
}

// Sends what a client of `serve` reads: an HTML page to an HTTP request, or endless bytes
// that are no stream.
void ServeWebPage(int socket, const std::atomic<bool>&) {
  char request[4096];
  recv(socket, request, sizeof(request), 0);
  const std::string page = "<html><body>Not a camera</body></html>";
  LoopbackServer::SendAll(socket, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                      std::to_string(page.size()) + "\r\n\r\n" + page);
}

void ServeGarbage(int socket, const std::atomic<bool>& stop) {
  std::mt19937 random(1);
  std::string chunk(65536, '\0');
  while (!stop.load()) {
    for (char& c : chunk)
      c = static_cast<char>(random());
    if (!LoopbackServer::SendAll(socket, chunk))
      return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST_F(NetworkRecordTest, SourcesThatCannotBeHadRecordNoSignalAndSayWhy) {
  // A stream whose picture size changes midway: three seconds at 320 x 240, then 480 x 272.
  const std::string first = dir.File("first.ts");
  const std::string second = dir.File("second.ts");
  for (const auto& [path, size] : {std::pair{first, "320x240"}, std::pair{second, "480x272"}}) {
    ASSERT_EQ(RunTool(kFfmpegProgram,
                      {"-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                       std::string("testsrc=size=") + size + ":rate=25:duration=3", "-c:v",
                       "mpeg2video", "-g", "12", "-f", "mpegts", path},
                      dir.path())
                  .exitCode,
              0);
  }
  const std::string list = dir.File("list.txt");
  std::ofstream(list) << "file '" << first << "'\nfile '" << second << "'\n";
  const int changingPort = FreeLoopbackPort();
  ToolProcess changing(kFfmpegProgram,
                       {"-hide_banner", "-loglevel", "error", "-re", "-f", "concat", "-safe", "0",
                        "-i", list, "-c", "copy", "-f", "mpegts",
                        "tcp://127.0.0.1:" + std::to_string(changingPort) + "?listen=1"},
                       dir.path());
  ASSERT_TRUE(WaitUntilListening(changingPort, seconds(30)));
  LoopbackServer web(ServeWebPage);
  LoopbackServer garbage(ServeGarbage);
  ASSERT_GT(web.port(), 0);
  ASSERT_GT(garbage.port(), 0);
  const std::string nobody = "tcp://127.0.0.1:" + std::to_string(FreeLoopbackPort());

  const std::string out = dir.File("session");
  const std::string json = dir.File("summary.json");
  const std::string local = "127.0.0.1:";
  const ToolResult run = RunTool(
      kRecordProgram,
      {"--seconds", "6", "--camera", "test:320x240", "--camera", nobody, "--camera",
       "http://" + local + std::to_string(web.port()) + "/camera", "--camera",
       "tcp://" + local + std::to_string(garbage.port()), "--camera",
       "sorvo://" + local + std::to_string(garbage.port()), "--camera",
       "tcp://" + local + std::to_string(changingPort), "--director", "320x240", "--audio",
       "none", "--ports", std::to_string(base), "--out", out, "--json", json},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Every file is good."), std::string::npos) << run.out;
  auto noted = [&](int camera, const std::string& text) {
    const std::string start = "note: camera" + std::to_string(camera) + " (";
    for (size_t at = run.out.find(start); at != std::string::npos;
         at = run.out.find(start, at + 1))
      if (run.out.substr(at, run.out.find('\n', at) - at).find(text) != std::string::npos)
        return true;
    return false;
  };
  EXPECT_TRUE(noted(1, "no signal at the start (Connection refused): recorded as \"no signal\" "
                       "at 320x240, 25/s until it answers"))
      << run.out;
  EXPECT_TRUE(noted(2, "no signal at the start (")) << run.out;
  EXPECT_TRUE(noted(3, "no signal at the start (")) << run.out;
  EXPECT_TRUE(noted(4, "no signal at the start (it does not send a Sorvo sink's stream: its "
                       "codec"))
      << run.out;
  EXPECT_TRUE(noted(5, "its pictures are 480x272 from here on; they are scaled to the camera's "
                       "320x240"))
      << run.out;
  EXPECT_NE(run.out.find("camera1 "), std::string::npos);
  EXPECT_NE(run.out.find(" NO SIGNAL"), std::string::npos) << run.out;

  const ProbedFile good = ProbeFile(out + "/camera0.mp4");
  ASSERT_EQ(good.streams.size(), 2u);
  for (int camera = 1; camera <= 4; ++camera) {
    const ProbedFile lost = ProbeFile(out + "/camera" + std::to_string(camera) + ".mp4", true);
    ASSERT_EQ(lost.streams.size(), 2u) << camera;
    EXPECT_EQ(Kinds(lost.streams[0]).find_first_not_of('S'), std::string::npos) << camera;
    EXPECT_NEAR(lost.streams[0].endSeconds, good.streams[0].endSeconds, 0.04 + 1e-3) << camera;
  }
  // The stream that changed size: pictures of the camera's size, until it ended.
  const ProbedFile changed = ProbeFile(out + "/camera5.mp4", true);
  ASSERT_EQ(changed.streams.size(), 2u);
  EXPECT_EQ(changed.streams[0].width, 320);
  EXPECT_EQ(changed.streams[0].decodeErrors, 0);
  const std::string kinds = Kinds(changed.streams[0]);
  EXPECT_EQ(Runs(kinds).substr(0, 1), "?") << kinds;
  EXPECT_GE(kinds.find('S'), 50u) << kinds;

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  const boost::property_tree::ptree unreachable = SinkNamed(summary, "camera1");
  EXPECT_TRUE(unreachable.get<bool>("noSignalAtEnd"));
  ASSERT_EQ(unreachable.get_child("signalLosses").size(), 1u);
  const auto& loss = unreachable.get_child("signalLosses").front().second;
  EXPECT_EQ(loss.get<double>("lostAt"), 0);
  EXPECT_EQ(loss.get<std::string>("backAt"), "null");
  EXPECT_EQ(loss.get<std::string>("why"), "Connection refused");
}

TEST_F(NetworkRecordTest, FaultySourcesKeepEveryFilesLengthAndAreBackWithinASecond) {
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
  const std::string udp = std::to_string(FreeLoopbackPort());
  ToolProcess sources(kPythonProgram, {SORVO_FAULTY_SOURCES, dir.path(), udp}, dir.path());
  ASSERT_TRUE(sources.WaitForOutput("ready ", std::chrono::seconds(60))) << sources.Stderr();
  std::string mjpeg, peer;
  std::istringstream(sources.Stdout().substr(sources.Stdout().find("ready ") + 6)) >> mjpeg >> peer;
  const std::string out = dir.File("session");
  const ToolResult run = RunTool(
      kRecordProgram,
      {"--seconds", "30", "--camera", "test:160x120", "--camera", "http://127.0.0.1:" + mjpeg,
       "--camera", "udp://127.0.0.1:" + udp, "--camera", "sorvo://127.0.0.1:" + peer, "--director",
       "160x120", "--ports", std::to_string(base), "--out", out, "--json", out + ".json"},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  // Every stream of pictures or sound ends with the session, within a picture.
  for (const char* name : {"camera0.mp4", "camera1.mp4", "camera2.mp4", "camera3.mp4",
                           "director.mp4", "导播多流.mp4", "sound.wav"})
    for (const ProbedStream& stream : ProbeFile(out + "/" + name).streams)
      EXPECT_TRUE(stream.endSeconds == 0 || std::abs(stream.endSeconds - 30) < 0.041)
          << name << " stream " << stream.index << " ends at " << stream.endSeconds;

  // Each loss, and no other: no-signal pictures from soon after it, then the source's own
  // within a second of its return. The camera's server is away 4 s, the UDP sender 6 s.
  boost::property_tree::ptree summary;
  boost::property_tree::read_json(out + ".json", summary);
  const std::map<std::string, std::vector<double>> away = {
      {"camera1", {4, 4}}, {"camera2", {6}}, {"camera3", {}}};
  for (const auto& found : away) {
    const boost::property_tree::ptree sink = SinkNamed(summary, found.first);
    const ProbedStream video = ProbeFile(out + "/" + found.first + ".mp4", true).streams.at(0);
    EXPECT_EQ(video.width, 160);  // the peer's pictures, not its greeting
    const auto losses = sink.get_child("signalLosses", {});
    ASSERT_EQ(losses.size(), found.second.size()) << run.out;
    size_t picture = 0, loss = 0;
    for (const auto& [unused, lost] : losses) {
      const double lostAt = lost.get<double>("lostAt"), back = lostAt + found.second[loss++];
      while (picture < video.pictures.size() && (video.pictureSeconds[picture] < lostAt + 2.2 ||
                                                 IsNoSignalPicture(video.pictures[picture])))
        ++picture;
      ASSERT_LT(picture, video.pictures.size()) << run.out;
      EXPECT_NEAR(video.pictureSeconds[picture], back + 0.45, 0.55) << found.first;
    }
  }
}

TEST_F(NetworkRecordTest, SixteenCamerasRecordWithNoLoss) {
  const int wide = FreePortBase(17);
  ASSERT_GT(wide, 0);
  const std::string out = dir.File("session");
  const std::string json = dir.File("summary.json");
  std::vector<std::string> args = {"--seconds", "3", "--fps", "10", "--director", "160x120",
                                   "--audio", "none", "--ports", std::to_string(wide), "--out",
                                   out, "--json", json};
  for (int i = 0; i < 16; ++i) {
    args.push_back("--camera");
    args.push_back("test:160x120");
  }
  const ToolResult run = RunTool(kRecordProgram, args, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_TRUE(summary.get<bool>("allGood"));
  int cameras = 0;
  for (const auto& sink : summary.get_child("sinks")) {
    const std::string name = sink.second.get<std::string>("name");
    EXPECT_EQ(sink.second.get<long long>("dropped"), 0) << name;
    if (name.rfind("camera", 0) != 0)
      continue;
    // Cameras 9 and up serve after the sound's port.
    const int number = std::stoi(name.substr(6));
    EXPECT_EQ(sink.second.get<int>("port"), wide + 1 + number + (number >= 9 ? 1 : 0)) << name;
    EXPECT_GE(sink.second.get<long long>("packets"), 20) << name;
    ++cameras;
  }
  EXPECT_EQ(cameras, 16);
  int cameraFiles = 0;
  for (const auto& file : summary.get_child("files")) {
    EXPECT_TRUE(file.second.get<bool>("good")) << file.second.get<std::string>("path");
    cameraFiles += file.second.get<std::string>("kind") == "camera MP4";
  }
  EXPECT_EQ(cameraFiles, 16);
  // Nine cameras in the multi-stream file, the most it holds, and its timecode track.
  const ProbedFile multi = ProbeFile(out + "/导播多流.mp4");
  EXPECT_EQ(multi.streams.size(), 10u);
}

}  // namespace
