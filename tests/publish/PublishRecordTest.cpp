// sorvo-record --publish end to end: a three-camera session published to nginx and played
// back from it, the server killed and started again while the recorder runs, a destination
// that refuses from the start, and the option's mistakes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <boost/property_tree/json_parser.hpp>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "PublishTestSupport.h"
#include "ToolPaths.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;
using namespace std::chrono_literals;
using boost::property_tree::ptree;

// Cameras of one colour each, already of the director's size, so that the program's
// pictures show which camera they are.
std::vector<std::string> ColourCameras(const std::vector<std::string>& colours) {
  std::vector<std::string> args;
  for (const std::string& colour : colours)
    args.insert(args.end(), {"--camera", "lavfi:color=c=" + colour + ":size=320x180:rate=25"});
  return args;
}

std::vector<std::string> SessionArgs(const TestAppDir& dir, const std::string& seconds) {
  std::vector<std::string> args = ColourCameras({"red", "lime", "blue"});
  args.insert(args.end(),
              {"--director", "320x180", "--seconds", seconds, "--switch-every", "2", "--ports",
               std::to_string(FreePortBase(10)), "--out", dir.File("session"), "--json",
               dir.File("summary.json"), "--publish-bitrate", "400000"});
  return args;
}

ptree Summary(const TestAppDir& dir) {
  ptree summary;
  boost::property_tree::read_json(dir.File("summary.json"), summary);
  return summary;
}

TEST(PublishRecordTest, ATenSecondSessionPlaysBackFromTheServerWithItsSwitches) {
  TestAppDir dir;
  RtmpServer server(dir.path());
  ASSERT_TRUE(server.Start()) << server.log();
  auto player = StartPlayer(server.Url("session"), dir.File("played.flv"), dir.path(), 5);
  ASSERT_TRUE(server.WaitForPlayer("session", 30s)) << server.log();

  std::vector<std::string> args = SessionArgs(dir, "10");
  args.insert(args.end(), {"--publish", server.Url("session")});
  const ToolResult record = RunTool(kRecordProgram, args, dir.path());
  ASSERT_EQ(record.exitCode, 0) << record.out << record.err;
  EXPECT_NE(record.out.find("publish   rtmp://127.0.0.1:" + std::to_string(server.port()) +
                            "/live/***: the director's program as H.264 at 400,000 bit/s and "
                            "the sound as AAC"),
            std::string::npos)
      << record.out;
  EXPECT_NE(record.out.find("| publish rtmp live"), std::string::npos) << record.out;
  EXPECT_NE(record.out.find("Published (H.264 and AAC)"), std::string::npos) << record.out;

  const ptree summary = Summary(dir);
  EXPECT_TRUE(summary.get<bool>("allGood"));
  const ptree& publish = summary.get_child("publish");
  const ptree& output = publish.get_child("outputs").front().second;
  EXPECT_EQ(output.get<int>("connects"), 1);
  EXPECT_EQ(output.get<int>("losses"), 0);
  EXPECT_TRUE(output.get<bool>("endedLive"));
  EXPECT_EQ(output.get<long long>("gopsDropped"), 0);
  long long directorPictures = 0;
  for (const auto& sink : summary.get_child("sinks"))
    if (sink.second.get<std::string>("name") == "director")
      directorPictures = sink.second.get<long long>("buffersIn");
  // The program published is the director's: every picture it took reached the publisher,
  // which encoded it, or left it out as an instant already encoded, or (on a machine short
  // of CPU, its encoder yielding to the recording) skipped it.
  const long long encoded = publish.get<long long>("picturesEncoded");
  EXPECT_EQ(publish.get<long long>("picturesIn"), directorPictures);
  EXPECT_EQ(encoded + publish.get<long long>("picturesSkipped") +
                publish.get<long long>("picturesLeftOut"),
            directorPictures);
  EXPECT_GE(encoded, directorPictures * 8 / 10);

  ASSERT_EQ(player->Wait(60s), 0) << player->Stderr();
  const ProbedFile played = ProbeFile(dir.File("played.flv"), true);
  const ProbedStream* video = FirstStream(played, AVMEDIA_TYPE_VIDEO);
  const ProbedStream* audio = FirstStream(played, AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->codecId, AV_CODEC_ID_H264);
  EXPECT_EQ(video->width, 320);
  EXPECT_EQ(video->height, 180);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_EQ(video->decodedFrames, encoded);
  EXPECT_EQ(audio->codecId, AV_CODEC_ID_AAC);
  EXPECT_EQ(audio->decodeErrors, 0);
  EXPECT_GE(static_cast<double>(audio->decodedSamples) / audio->sampleRate, 9.8);
  // The program's switches, every two seconds: red, green, blue, red, green.
  const std::vector<ColourRun> runs = ColourRuns(*video);
  const std::vector<ProgramColour> expected = {ProgramColour::kRed, ProgramColour::kGreen,
                                               ProgramColour::kBlue, ProgramColour::kRed,
                                               ProgramColour::kGreen};
  ASSERT_EQ(runs.size(), expected.size()) << DescribeRuns(runs);
  for (size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].colour, expected[i]) << DescribeRuns(runs);
    // The recorder switches on its own clock, within a few pictures of each two seconds.
    EXPECT_NEAR(runs[i].startSeconds - runs[0].startSeconds, 2.0 * i, 0.25) << DescribeRuns(runs);
  }
}

TEST(PublishRecordTest, AServerKilledMidSessionCostsAGapNotTheRecording) {
  TestAppDir dir;
  RtmpServer server(dir.path());
  ASSERT_TRUE(server.Start()) << server.log();
  std::vector<std::string> args = SessionArgs(dir, "0");
  args.insert(args.end(), {"--publish", server.Url("session")});
  ToolProcess record(kRecordProgram, args, dir.path());
  const std::string shown =
      "publish rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/***";
  ASSERT_TRUE(record.WaitForOutput(shown + ": publishing", 60s))
      << record.Stdout() << record.Stderr();

  server.Kill();
  ASSERT_TRUE(record.WaitForOutput(shown + ": connection lost", 60s)) << record.Stdout();
  ASSERT_TRUE(record.WaitForOutput("publish rtmp retrying", 60s)) << record.Stdout();
  ASSERT_TRUE(server.Start()) << server.log();
  ASSERT_TRUE(record.WaitForOutput(shown + ": publishing again after", 60s)) << record.Stdout();
  // Three seconds of the second connection reach the server before the session ends.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  auto secondRecording = [&] {
    const std::vector<std::string> files = server.Recordings();
    return files.size() == 2 ? static_cast<long long>(std::filesystem::file_size(files[1])) : 0;
  };
  while (secondRecording() < 150000 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  ASSERT_GE(secondRecording(), 150000);
  record.Signal(SIGTERM);
  // The recording's files are whole: the recorder read them back and found them good.
  ASSERT_EQ(record.Wait(120s), 0) << record.Stdout() << record.Stderr();

  const ptree summary = Summary(dir);
  EXPECT_TRUE(summary.get<bool>("allGood"));
  for (const auto& file : summary.get_child("files"))
    EXPECT_TRUE(file.second.get<bool>("good")) << file.second.get<std::string>("path");
  const ptree& output = summary.get_child("publish.outputs").front().second;
  EXPECT_EQ(output.get<int>("connects"), 2);
  EXPECT_EQ(output.get<int>("losses"), 1);
  EXPECT_GT(output.get<double>("secondsWithoutConnection"), 0.0);
  EXPECT_TRUE(output.get<bool>("endedLive"));
  EXPECT_NE(record.Stdout().find("Published (H.264 and AAC)"), std::string::npos);

  // The server's recording of the second connection decodes from its first picture.
  const ProbedFile second = ProbeFile(server.Recordings()[1], false);
  const ProbedStream* video = FirstStream(second, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(FirstStream(second, AVMEDIA_TYPE_AUDIO), nullptr);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_TRUE(second.PacketsOf(video->index).front().key);
  EXPECT_EQ(video->decodedFrames, static_cast<int>(second.PacketsOf(video->index).size()));
}

TEST(PublishRecordTest, ADestinationRefusingFromTheStartLeavesTheRecordingAndTheOthers) {
  TestAppDir dir;
  const std::string refused = "rtmp://127.0.0.1:" + std::to_string(FreeTcpPort()) + "/live/k";
  const std::string playlist = dir.File("web/live/program.m3u8");
  std::vector<std::string> args = SessionArgs(dir, "4");
  args.insert(args.end(), {"--publish", refused, "--publish", playlist});
  const ToolResult record = RunTool(kRecordProgram, args, dir.path());
  ASSERT_EQ(record.exitCode, 0) << record.out << record.err;
  EXPECT_NE(record.out.find("cannot connect: Connection refused"), std::string::npos) << record.out;
  EXPECT_NE(record.out.find("(the recording goes on)"), std::string::npos) << record.out;

  const ptree summary = Summary(dir);
  EXPECT_TRUE(summary.get<bool>("allGood"));
  const ptree& outputs = summary.get_child("publish.outputs");
  ASSERT_EQ(outputs.size(), 2u);
  const ptree& never = outputs.front().second;
  EXPECT_EQ(never.get<int>("connects"), 0);
  EXPECT_GE(never.get<int>("failedConnects"), 1);
  EXPECT_FALSE(never.get<bool>("endedLive"));
  // Nothing reached it: every picture counts as dropped, the whole session as a gap.
  EXPECT_EQ(never.get<long long>("picturesDropped"),
            summary.get<long long>("publish.picturesEncoded"));
  EXPECT_GT(never.get<double>("secondsWithoutConnection"), 3.0);
  EXPECT_NE(never.get<std::string>("lastError").find("Connection refused"), std::string::npos);

  // The HLS destination, in a folder made for it, got the whole program.
  const ptree& hls = outputs.back().second;
  EXPECT_EQ(hls.get<int>("connects"), 1);
  EXPECT_TRUE(hls.get<bool>("endedLive"));
  const ToolResult probe =
      RunTool(kFfprobe,
              {"-v", "error", "-show_entries", "stream=codec_name:format=duration", "-of",
               "default=noprint_wrappers=1", playlist},
              dir.path(), 120s);
  ASSERT_EQ(probe.exitCode, 0) << probe.err;
  EXPECT_NE(probe.out.find("codec_name=h264"), std::string::npos) << probe.out;
  EXPECT_NE(probe.out.find("codec_name=aac"), std::string::npos) << probe.out;
  const size_t at = probe.out.find("duration=");
  ASSERT_NE(at, std::string::npos) << probe.out;
  EXPECT_NEAR(std::stod(probe.out.substr(at + 9)), 4.0, 0.3) << probe.out;
}

TEST(PublishRecordTest, MistakesInThePublishOptionsAreNamed) {
  TestAppDir dir;
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"--publish", "rtmp://host/app"}, "rtmp://HOST[:PORT]/APP/KEY"},
      {{"--publish", "program.mp4"}, "a path ending in .m3u8"},
      {{"--publish", "udp://host"}, "udp://HOST:PORT"},
      {{"--publish", "a.m3u8", "--publish", "a.m3u8"}, "a.m3u8 is given twice"},
      {{"--publish-bitrate", "99999"}, "100,000 to 50,000,000"},
  };
  for (const Case& c : cases) {
    const ToolResult result = RunTool(kRecordProgram, c.args, dir.path(), 60s);
    EXPECT_EQ(result.exitCode, 2) << result.err;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << result.err;
  }
}

}  // namespace
