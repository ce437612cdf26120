// Hours of an event in minutes: sorvo-record on simulated time, four small test cameras
// switched every 2 s, a mark a minute, from 22:30:00 over midnight for three hours.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"
#include "tools/record/edit/Cmx3600Reader.h"

namespace {

using namespace sorvo::test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSeconds = 1800, kStart = 23 * 3600 + 50 * 60, kSettled = 600;  // slow encoding
// A sanitizer's own bookkeeping (shadow memory, freed blocks held back, access histories)
// grows with the work done: the process's memory says nothing of the recorder's there.
constexpr bool kMemoryIsTheRecorders = false;
#else
constexpr int kSeconds = 3 * 3600, kStart = 22 * 3600 + 30 * 60, kSettled = 3600;
constexpr bool kMemoryIsTheRecorders = true;
#endif
constexpr int kFps = 5, kCameras = 4;
constexpr int64_t kDay = 24 * 3600 * kFps;

class LongSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir();
    char start[16];
    std::snprintf(start, sizeof(start), "%02d:%02d:00", kStart / 3600, kStart / 60 % 60);
    std::istringstream words(
        "--fps 5 --director 160x120 --switch-every 2 --mark-every 60 --simulate-speed 150 "
        "--audio none --no-console --seconds " +
        std::to_string(kSeconds) + " --simulate-start " + start + " --ports " +
        std::to_string(FreePortBase(12)) + " --json " + s_dir->File("summary.json") + " --out " +
        s_dir->File("session"));
    std::vector<std::string> args(std::istream_iterator<std::string>(words), {});
    for (int i = 0; i < kCameras; ++i)
      args.insert(args.end(), {"--camera", "test:160x120:yuv420p"});
    ToolProcess recorder(kRecordProgram, args, s_dir->path());
    // The resident memory against the session's time of the last progress line.
    while (recorder.Wait(std::chrono::seconds(0)) < 0) {
      const std::string out = recorder.Stdout();
      const size_t line = out.rfind('\n', out.rfind(" s |"));
      std::ifstream status("/proc/" + std::to_string(recorder.pid()) + "/status");
      for (std::string text; std::getline(status, text);)
        if (text.rfind("VmRSS:", 0) == 0 && out.find(" s |") != std::string::npos)
          s_memory.push_back({std::atof(out.c_str() + (line == std::string::npos ? 0 : line + 1)),
                              std::atof(text.c_str() + 6)});
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    s_exit = recorder.Wait(std::chrono::seconds(0));
    s_out = recorder.Stdout() + recorder.Stderr();
    s_summary = nlohmann::json::parse(ReadWholeFile(s_dir->File("summary.json")), nullptr, false);
  }
  static void TearDownTestSuite() { delete s_dir; }
  void SetUp() override { ASSERT_EQ(s_exit, 0) << s_out; }

  static std::string Session(const std::string& name) { return s_dir->File("session/" + name); }

  static inline TestAppDir* s_dir = nullptr;
  static inline int s_exit = -1;
  static inline std::string s_out;
  static inline std::vector<std::pair<double, double>> s_memory;  // (seconds, KiB)
  static inline nlohmann::json s_summary;
};

TEST_F(LongSessionTest, EveryFileIsGoodLastsTheSessionAndStartsAtItsTimeOfDay) {
  const double seconds = s_summary["seconds"];
  EXPECT_NEAR(seconds, kSeconds, 1.0);
  for (const auto& file : s_summary["files"])
    EXPECT_TRUE(file["good"].get<bool>()) << file.dump();
  for (const auto& sink : s_summary["sinks"])
    EXPECT_LE(sink["dropped"], 1) << sink.dump();  // the stop's last picture, on a busy machine
  for (const char* name : {"camera0.mp4", "camera3.mp4", "director.mp4"}) {
    AVFormatContext* input = nullptr;
    ASSERT_GE(avformat_open_input(&input, Session(name).c_str(), nullptr, nullptr), 0) << name;
    avformat_find_stream_info(input, nullptr);
    EXPECT_NEAR(input->duration / double(AV_TIME_BASE), seconds, 2.0 / kFps) << name;
    // The timecode track (frames in one digit below ten a second) starts at the start of day.
    const AVDictionaryEntry* timecode = nullptr;
    for (unsigned i = 0; !timecode && i < input->nb_streams; ++i)
      timecode = av_dict_get(input->streams[i]->metadata, "timecode", nullptr, 0);
    int h = -1, m = 0, s = 0, f = 0;
    ASSERT_NE(timecode, nullptr) << name;
    std::sscanf(timecode->value, "%d:%d:%d:%d", &h, &m, &s, &f);
    EXPECT_NEAR(((h * 60 + m) * 60 + s) * kFps + f, kStart * kFps, kFps) << timecode->value;
    avformat_close_input(&input);
  }
}

TEST_F(LongSessionTest, TheEditListsAreWholeCrossMidnightAndDescribeTheProgram) {
  // Every EDL, strictly read, in order: they join without a gap and go back to 00:00:00:00
  // once, at midnight; one event per switch, and one more for the shot split there.
  std::vector<sorvo::tools::CmxEvent> events;
  int lists = 0;
  for (std::string name = "director.edl"; std::filesystem::exists(Session(name));
       name = "director-" + std::to_string(++lists + 1) + ".edl") {
    const auto list = sorvo::tools::ReadCmx3600(ReadWholeFile(Session(name)), kFps);
    EXPECT_TRUE(list.errors.empty()) << name << ": " << list.errors.front();
    events.insert(events.end(), list.events.begin(), list.events.end());
  }
  ASSERT_FALSE(events.empty());
  EXPECT_GT(lists, kSeconds / 2 / 999);
  EXPECT_NEAR(static_cast<double>(events.front().recordIn), kStart * kFps, kFps);
  std::vector<int> cut;
  for (const auto& shot : s_summary["switches"])
    cut.push_back(shot["camera"]);
  std::vector<int> listed = {std::atoi(events[0].reel.c_str() + 3)};
  int wraps = 0;
  for (size_t i = 1; i < events.size(); ++i) {
    EXPECT_EQ(events[i].recordIn, events[i - 1].recordOut % kDay) << i;
    wraps += events[i].recordIn < events[i - 1].recordIn;
    const int camera = std::atoi(events[i].reel.c_str() + 3);
    if (camera != listed.back())
      listed.push_back(camera);
  }
  EXPECT_EQ(wraps, 1);
  EXPECT_GE(events.size(), cut.size());
  EXPECT_LE(events.size(), cut.size() + 1);
  EXPECT_EQ(listed, cut);
  EXPECT_GE(s_summary["marks"].size(), kSeconds / 60u - 1);

  // The OTIO counts on over midnight without a split, each shot a clip.
  const auto timeline =
      nlohmann::json::parse(ReadWholeFile(Session("director.otio")), nullptr, false);
  ASSERT_TRUE(timeline.is_object());
  double length = 0;
  size_t clips = 0;
  for (const auto& item : timeline["tracks"]["children"][0]["children"]) {
    length += item["source_range"]["duration"]["value"].get<double>();
    clips += item["OTIO_SCHEMA"] == "Clip.2";
  }
  EXPECT_EQ(clips, cut.size());
  EXPECT_NEAR(timeline["global_start_time"]["value"].get<double>(), events[0].recordIn, 0.5);
  EXPECT_NE(ReadWholeFile(Session("director.mlt")).rfind("</mlt>"), std::string::npos);

  // The shots last as long as the session's files.
  EXPECT_NEAR(length / kFps, s_summary["seconds"].get<double>(), 2.0 / kFps);
}

TEST_F(LongSessionTest, MemoryDoesNotGrowWithTheHours) {
  if (!kMemoryIsTheRecorders)
    GTEST_SKIP() << "memory is measured in the build without sanitizers";
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;  // least squares, KiB per simulated hour
  for (const auto& [seconds, kib] : s_memory)
    if (seconds >= kSettled && seconds < kSeconds) {
      n += 1, sx += seconds / 3600, sy += kib, sxx += seconds * seconds / 3600 / 3600;
      sxy += seconds / 3600 * kib;
    }
  ASSERT_GE(n, 10);
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  // Under 1 MiB per camera-hour: far above noise, below an index kept whole.
  EXPECT_LT(slope, kCameras * 1024.0) << s_memory.front().second << " KiB at first";
}

TEST(LongSessionOptionsTest, SimulatedTimeIsRefusedWithALiveSource) {
  const TestAppDir dir;
  const ToolResult run =
      RunTool(kRecordProgram, {"--camera", "/dev/video0", "--simulate-speed", "10"}, dir.path());
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("/dev/video0) is a live source"), std::string::npos) << run.err;
}

}  // namespace
