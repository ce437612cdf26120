// sorvo-record --fragmented-mp4: killed with SIGKILL part-way through a session, every MP4
// it was writing still reads back up to its last complete GOP; stopped cleanly, every file
// holds every picture.
#include <gtest/gtest.h>
#include <signal.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;
using std::chrono::seconds;

constexpr int kPortSpan = 10;
constexpr int kGop = 25;  // the sinks' GOP at 25 pictures a second

// Pictures handed to each sink, as the last progress line before now said.
struct Progress {
  double elapsed = 0;
  long long camera0 = 0;
  long long camera1 = 0;
  long long director = 0;
};

bool LastProgress(const std::string& out, Progress* progress) {
  std::istringstream in(out);
  bool found = false;
  for (std::string text; std::getline(in, text);) {
    Progress line;
    if (std::sscanf(text.c_str(), "%lf s | camera0 %lld camera1 %lld director %lld |",
                    &line.elapsed, &line.camera0, &line.camera1, &line.director) != 4)
      continue;
    *progress = line;
    found = true;
  }
  return found;
}

// The video stream `index` of a fragmented MP4: it decodes without an error from a key
// frame on, every picture at its own time on the 25/s grid (a picture lost on the way
// leaves a gap), the last one lasting one frame; returns its picture count.
int ExpectFragmentedVideo(const ProbedFile& file, size_t index, const std::string& path) {
  EXPECT_TRUE(file.opened) << path;
  if (!file.opened || file.streams.size() <= index)
    return 0;
  const ProbedStream& video = file.streams[index];
  EXPECT_EQ(video.codecId, AV_CODEC_ID_MPEG4) << path;
  EXPECT_EQ(video.decodeErrors, 0) << path;
  const std::vector<ProbedPacket> packets = file.PacketsOf(static_cast<int>(index));
  EXPECT_FALSE(packets.empty()) << path;
  if (!packets.empty()) {
    EXPECT_TRUE(packets[0].key) << path;
    EXPECT_NEAR(video.endSeconds, packets.back().ptsSeconds + 1 / 25.0, 1e-3) << path;
  }
  for (size_t i = 1; i < packets.size(); ++i) {
    const double frames = (packets[i].ptsSeconds - packets[0].ptsSeconds) * 25;
    EXPECT_NEAR(frames, std::round(frames), 1e-2) << path << " packet " << i;
    EXPECT_GT(packets[i].ptsSeconds, packets[i - 1].ptsSeconds) << path << " packet " << i;
  }
  EXPECT_GT(CountBoxes(TopLevelBoxes(path), "moof"), 0) << path;
  return video.decodedFrames;
}

class FragmentedRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = FreePortBase(kPortSpan);
    ASSERT_GT(base, 0) << "no free range of ports";
  }

  std::vector<std::string> Args(const std::string& out, const std::string& secondsText) const {
    return {"--seconds",       secondsText,
            "--fps",           "25",
            "--camera",        "test:160x120",
            "--camera",        "test:176x144:yuv420p",
            "--director",      "320x180",
            "--ports",         std::to_string(base),
            "--out",           out,
            "--fragmented-mp4"};
  }

  TestAppDir dir;
  int base = 0;
};

TEST_F(FragmentedRecordTest, KilledMidSessionEveryMp4ReadsBackToItsLastCompleteGop) {
  const std::string out = dir.File("killed");
  ToolProcess recorder(kRecordProgram, Args(out, "0"), dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60)))
      << recorder.Stdout() << recorder.Stderr();
  // The setting was the recorder's only while it made its files.
  EXPECT_FALSE(fs::exists(dir.File("SettingVideo.ini")));
  Progress shown;
  ASSERT_TRUE(WaitUntil([&] {
    return LastProgress(recorder.Stdout(), &shown) && shown.elapsed >= 4.0;
  })) << recorder.Stdout();
  recorder.Signal(SIGKILL);
  ASSERT_EQ(recorder.Wait(seconds(60)), 128 + SIGKILL);

  // What each sink had been handed when the last line was shown, just before the kill:
  // each file keeps that less the GOP in progress (and the few pictures still queued for
  // the encoder), and at most the second's worth handed over since.
  // The multi-stream file holds a camera's packets back until the sound has caught up
  // with them, so it may lose one GOP more.
  auto expectRecovered = [&](int frames, long long handed, const std::string& what,
                             int gopsLost = 1) {
    EXPECT_GE(frames, handed - gopsLost * kGop - 10) << what;
    EXPECT_LE(frames, handed + kGop) << what;
    RecordProperty(what + "Handed", static_cast<int>(handed));
    RecordProperty(what + "Recovered", frames);
  };
  const ProbedFile camera0 = ProbeFile(out + "/camera0.mp4");
  expectRecovered(ExpectFragmentedVideo(camera0, 0, out + "/camera0.mp4"), shown.camera0,
                  "camera0");
  const ProbedFile camera1 = ProbeFile(out + "/camera1.mp4");
  expectRecovered(ExpectFragmentedVideo(camera1, 0, out + "/camera1.mp4"), shown.camera1,
                  "camera1");
  const ProbedFile director = ProbeFile(out + "/director.mp4");
  expectRecovered(ExpectFragmentedVideo(director, 0, out + "/director.mp4"), shown.director,
                  "director");

  const std::string multiPath = out + "/导播多流.mp4";
  const ProbedFile multi = ProbeFile(multiPath);
  ASSERT_TRUE(multi.opened);
  // The cameras, the sound, then the timecode track, whose index came first.
  ASSERT_EQ(multi.streams.size(), 4u);
  EXPECT_EQ(multi.streams[0].width, 160);
  EXPECT_EQ(multi.streams[1].width, 176);
  expectRecovered(ExpectFragmentedVideo(multi, 0, multiPath), shown.camera0, "multi0", 2);
  expectRecovered(ExpectFragmentedVideo(multi, 1, multiPath), shown.camera1, "multi1", 2);
  const ProbedStream& sound = multi.streams[2];
  EXPECT_EQ(sound.codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(sound.decodeErrors, 0);
  EXPECT_NEAR(sound.endSeconds, multi.streams[0].endSeconds, 1.0);
}

TEST_F(FragmentedRecordTest, StoppedCleanlyEveryMp4HoldsEveryPicture) {
  const std::string out = dir.File("clean");
  const std::string json = dir.File("summary.json");
  std::vector<std::string> args = Args(out, "2");
  args.insert(args.end(), {"--json", json});
  const ToolResult run = RunTool(kRecordProgram, args, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(dir.File("SettingVideo.ini")));

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  std::vector<int> packets;  // camera0, camera1, director
  for (const auto& sink : summary.get_child("sinks"))
    if (sink.second.get_child("video").data() == "true")
      packets.push_back(std::stoi(sink.second.get_child("packets").data()));
  ASSERT_EQ(packets.size(), 3u);

  const char* names[] = {"camera0", "camera1", "director"};
  for (int i = 0; i < 3; ++i) {
    const std::string path = out + "/" + names[i] + ".mp4";
    const ProbedFile file = ProbeFile(path);
    EXPECT_EQ(ExpectFragmentedVideo(file, 0, path), packets[i]) << path;
    // The file lasts as long as the recording, whatever pictures a loaded machine lost: as
    // long as its pictures or, in the director's, its sound. The container counts the
    // sound's packets whole, the encoder's start-up delay included, which a fragmented file
    // cannot cut: up to one MP3 frame more than the decoded sound.
    double end = 0;
    double slack = 1e-3;
    for (const ProbedStream& stream : file.streams) {
      if (stream.mediaType == AVMEDIA_TYPE_VIDEO || stream.mediaType == AVMEDIA_TYPE_AUDIO)
        end = std::max(end, stream.endSeconds);
      if (stream.mediaType == AVMEDIA_TYPE_AUDIO && stream.sampleRate > 0)
        slack = 1152.0 / stream.sampleRate;
    }
    EXPECT_GE(file.durationSeconds, end - 1e-3) << path;
    EXPECT_LE(file.durationSeconds, end + slack) << path;
    EXPECT_NEAR(file.durationSeconds, 2.0, 0.5) << path;
  }
  const std::string multiPath = out + "/导播多流.mp4";
  const ProbedFile multi = ProbeFile(multiPath);
  // The cameras, the sound, then the timecode track.
  ASSERT_EQ(multi.streams.size(), 4u);
  EXPECT_EQ(ExpectFragmentedVideo(multi, 0, multiPath), packets[0]);
  EXPECT_EQ(ExpectFragmentedVideo(multi, 1, multiPath), packets[1]);
  EXPECT_EQ(multi.streams[2].codecId, AV_CODEC_ID_MP3);
  EXPECT_NEAR(multi.streams[2].endSeconds, 2.0, 0.5);
}

}  // namespace
