// sorvo-record with the misbehaving sources of FaultySources.py, one session for every check.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <map>
#include <sstream>

#include "LiveSourceSupport.h"
#include "ToolPaths.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

TEST(MisbehavingSourcesTest, EveryFileKeepsTheSessionsLengthAndASourceIsBackWithinASecond) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
  const std::string udp = std::to_string(FreeLoopbackPort());
  ToolProcess sources(kPythonProgram, {SORVO_FAULTY_SOURCES, dir.path(), udp}, dir.path());
  ASSERT_TRUE(sources.WaitForOutput("ready ", std::chrono::seconds(60))) << sources.Stderr();
  std::string mjpeg, peer;
  std::istringstream(sources.Stdout().substr(sources.Stdout().find("ready ") + 6)) >> mjpeg >> peer;
  const std::string out = dir.File("session");
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "30", "--camera", "test:160x120", "--camera",
               "http://127.0.0.1:" + mjpeg, "--camera", "udp://127.0.0.1:" + udp, "--camera",
               "sorvo://127.0.0.1:" + peer, "--director", "160x120", "--ports",
               std::to_string(FreePortBase(10)), "--out", out, "--json", out + ".json"},
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
  for (const auto& [key, sink] : summary.get_child("sinks")) {
    const auto found = away.find(sink.get<std::string>("name"));
    if (found == away.end())
      continue;
    const ProbedStream video = ProbeFile(out + "/" + found->first + ".mp4", true).streams.at(0);
    EXPECT_EQ(video.width, 160);  // the peer's pictures, not its greeting
    const auto losses = sink.get_child("signalLosses", {});
    ASSERT_EQ(losses.size(), found->second.size()) << run.out;
    size_t picture = 0, loss = 0;
    for (const auto& [unused, lost] : losses) {
      const double lostAt = lost.get<double>("lostAt"), back = lostAt + found->second[loss++];
      while (picture < video.pictures.size() && (video.pictureSeconds[picture] < lostAt + 2.2 ||
                                                 IsNoSignalPicture(video.pictures[picture])))
        ++picture;
      ASSERT_LT(picture, video.pictures.size()) << run.out;
      EXPECT_NEAR(video.pictureSeconds[picture], back + 0.45, 0.55) << found->first;
    }
  }
}

}  // namespace
