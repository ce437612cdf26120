// sorvo-record with the sources of FaultySources.py: an HTTP MJPEG camera that stalls in the
// middle of a picture and later between pictures, a UDP MPEG-TS sender killed and started
// again, and a sorvo:// peer that claims 4999x4999 at 25/s and sends 160x120 at 10/s. One
// session serves every check.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <map>
#include <sstream>

extern "C" {
#include <libavutil/avutil.h>
}

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
  const std::string udpPort = std::to_string(FreeLoopbackPort());
  ToolProcess sources(kPythonProgram, {SORVO_FAULTY_SOURCES, dir.path(), udpPort}, dir.path());
  ASSERT_TRUE(sources.WaitForOutput("ready ", std::chrono::seconds(60))) << sources.Stderr();
  std::istringstream ready(sources.Stdout().substr(sources.Stdout().find("ready ") + 6));
  std::string mjpeg, peer;
  ready >> mjpeg >> peer;
  const std::string out = dir.File("session");
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "30", "--camera", "test:160x120", "--camera",
               "http://127.0.0.1:" + mjpeg + "/cam", "--camera", "udp://127.0.0.1:" + udpPort,
               "--camera", "sorvo://127.0.0.1:" + peer, "--director", "160x120", "--ports",
               std::to_string(FreePortBase(10)), "--out", out, "--json", dir.File("summary.json")},
              dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  // Every picture and sound stream ends with the session, within a picture.
  for (const char* name : {"camera0.mp4", "camera1.mp4", "camera2.mp4", "camera3.mp4",
                           "director.mp4", "导播多流.mp4", "sound.wav"})
    for (const ProbedStream& stream : ProbeFile(out + "/" + name).streams)
      if (stream.mediaType == AVMEDIA_TYPE_VIDEO || stream.mediaType == AVMEDIA_TYPE_AUDIO) {
        EXPECT_NEAR(stream.endSeconds, 30, 0.041) << name << " stream " << stream.index;
      }

  // Each source's losses and no others; no-signal pictures from soon after the loss to the
  // return, which is within a second of the source's: the camera's server is away 4 s, the
  // UDP sender 6 s. The peer is recorded at the size of its pictures.
  boost::property_tree::ptree summary;
  boost::property_tree::read_json(dir.File("summary.json"), summary);
  const std::map<std::string, std::vector<double>> away = {
      {"camera1", {4, 4}}, {"camera2", {6}}, {"camera3", {}}};
  for (const auto& sink : summary.get_child("sinks")) {
    const auto found = away.find(sink.second.get<std::string>("name"));
    if (found == away.end())
      continue;
    const ProbedFile file = ProbeFile(out + "/" + found->first + ".mp4", true);
    ASSERT_FALSE(file.streams.empty());
    EXPECT_EQ(file.streams[0].width, 160);
    const auto losses = sink.second.get_child("signalLosses", {});
    ASSERT_EQ(losses.size(), found->second.size()) << run.out;
    size_t picture = 0, index = 0;
    for (const auto& [key, loss] : losses) {
      const double lostAt = loss.get<double>("lostAt");
      const double back = lostAt + found->second[index++];
      const std::vector<double>& at = file.streams[0].pictureSeconds;
      while (picture < at.size() && at[picture] < lostAt + 2.1)
        ++picture;
      while (picture < at.size() && IsNoSignalPicture(file.streams[0].pictures[picture]))
        ++picture;
      ASSERT_LT(picture, at.size()) << found->first << run.out << sources.Stderr();
      EXPECT_GT(at[picture], back - 0.1) << found->first << " back at " << at[picture];
      EXPECT_LT(at[picture], back + 1.0) << found->first << " back at " << at[picture];
    }
  }
}

}  // namespace
