// Hours of a recorded event in a few minutes: sorvo-record on simulated time, four small
// test cameras switched every 2 s with a mark every minute, from 22:30:00 over midnight for
// three hours. The edit lists must stay valid and whole and describe the director's file
// picture for picture, every file must last the session, the timecodes must count on past
// midnight, and the recorder's memory must not grow with the hours.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "DrawnLabel.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "codec/Timecode.h"
#include "common/TestAppDir.h"
#include "tools/record/edit/Cmx3600Reader.h"

namespace {

using namespace sorvo::test;
using sorvo::tools::CmxEvent;
using sorvo::tools::ReadCmx3600;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitized encoding is many times slower: half an hour over midnight, memory from its
// second third.
constexpr double kHours = 0.5;
constexpr int kStartSecond = 23 * 3600 + 50 * 60;
constexpr double kSettled = 600;
#else
constexpr double kHours = 3;
constexpr int kStartSecond = 22 * 3600 + 30 * 60;
constexpr double kSettled = 3600;  // every buffer and queue has found its size
#endif
constexpr int kFps = 5;
constexpr int kCameras = 4;
constexpr int64_t kStartFrame = static_cast<int64_t>(kStartSecond) * kFps;
constexpr int64_t kDayFrames = 24 * 3600 * kFps;

// The recorder's resident memory at a moment of its session.
struct MemorySample {
  double session = 0;  // seconds on its clock, from its progress lines
  double kib = 0;
};

double ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atof(line.c_str() + 6);
  return -1;
}

// The session time of the last progress line ("1234.5 s | ...").
double LastProgressSeconds(const std::string& out) {
  const size_t mark = out.rfind(" s |");
  if (mark == std::string::npos)
    return -1;
  const size_t begin = out.rfind('\n', mark);
  return std::atof(out.c_str() + (begin == std::string::npos ? 0 : begin + 1));
}

// Least-squares slope of memory against time, KiB per simulated hour, from `from` seconds.
double SlopeKibPerHour(const std::vector<MemorySample>& samples, double from) {
  double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const MemorySample& s : samples) {
    if (s.session < from)
      continue;
    const double x = s.session / 3600;
    n += 1;
    sx += x;
    sy += s.kib;
    sxx += x * x;
    sxy += x * s.kib;
  }
  return n < 2 ? 0 : (n * sxy - sx * sy) / (n * sxx - sx * sx);
}

// Each picture of `path`'s video: its place in the stream, in pictures from the first one's
// time, and the camera number drawn into it.
std::map<int64_t, int> DrawnCameras(const std::string& path) {
  std::map<int64_t, int> cameras;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
    return cameras;
  avformat_find_stream_info(input, nullptr);
  const int stream = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* codec =
      stream >= 0 ? avcodec_find_decoder(input->streams[stream]->codecpar->codec_id) : nullptr;
  AVCodecContext* decoder = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  if (codec && avcodec_parameters_to_context(decoder, input->streams[stream]->codecpar) >= 0 &&
      avcodec_open2(decoder, codec, nullptr) >= 0) {
    const AVRational base = input->streams[stream]->time_base;
    int64_t first = AV_NOPTS_VALUE;
    auto take = [&] {
      while (avcodec_receive_frame(decoder, frame) >= 0) {
        if (first == AV_NOPTS_VALUE)
          first = frame->best_effort_timestamp;
        const double seconds = (frame->best_effort_timestamp - first) * av_q2d(base);
        cameras[std::llround(seconds * kFps)] = DrawnCamera(PictureFromFrame(frame));
        av_frame_unref(frame);
      }
    };
    while (av_read_frame(input, packet) >= 0) {
      if (packet->stream_index == stream && avcodec_send_packet(decoder, packet) >= 0)
        take();
      av_packet_unref(packet);
    }
    avcodec_send_packet(decoder, nullptr);
    take();
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  avformat_close_input(&input);
  return cameras;
}

std::string StartText() {
  char text[16];
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d", kStartSecond / 3600, kStartSecond / 60 % 60,
                kStartSecond % 60);
  return text;
}

class LongSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir();
    const int base = FreePortBase(12);
    ASSERT_GT(base, 0);
    std::vector<std::string> args = {"--seconds",
                                     std::to_string(static_cast<int>(kHours * 3600)),
                                     "--fps",
                                     std::to_string(kFps),
                                     "--director",
                                     "160x120",
                                     "--switch-every",
                                     "2",
                                     "--mark-every",
                                     "60",
                                     "--simulate-speed",
                                     "80",
                                     "--simulate-start",
                                     StartText(),
                                     "--audio",
                                     "none",
                                     "--no-console",
                                     "--ports",
                                     std::to_string(base),
                                     "--json",
                                     s_dir->File("summary.json"),
                                     "--out",
                                     s_dir->File("session")};
    for (int i = 0; i < kCameras; ++i)
      args.insert(args.end(), {"--camera", "test:160x120:yuv420p"});
    ToolProcess recorder(kRecordProgram, args, s_dir->path());
    ASSERT_TRUE(recorder.started());
    s_memory = new std::vector<MemorySample>();
    while (recorder.Wait(std::chrono::seconds(0)) < 0) {
      const double session = LastProgressSeconds(recorder.Stdout());
      const double kib = ResidentKib(recorder.pid());
      if (session > 0 && kib > 0 && session < kHours * 3600)
        s_memory->push_back({session, kib});
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    s_exit = recorder.Wait(std::chrono::seconds(0));
    s_out = new std::string(recorder.Stdout() + recorder.Stderr());
    s_summary = new nlohmann::json(
        nlohmann::json::parse(ReadWholeFile(s_dir->File("summary.json")), nullptr, false));
  }
  static void TearDownTestSuite() {
    delete s_summary;
    delete s_out;
    delete s_memory;
    delete s_dir;
  }
  void SetUp() override {
    ASSERT_EQ(s_exit, 0) << *s_out;
    ASSERT_TRUE(s_summary->is_object());
  }

  static std::string Session(const std::string& name) { return s_dir->File("session/" + name); }
  // Every director*.edl in the order its title numbers them, the events of all in order.
  static std::vector<CmxEvent> EdlEvents(int* lists) {
    std::vector<CmxEvent> events;
    *lists = 0;
    for (int n = 1;; ++n) {
      const std::string name = n == 1 ? "director.edl" : "director-" + std::to_string(n) + ".edl";
      if (!std::filesystem::exists(Session(name)))
        break;
      ++*lists;
      const auto list = ReadCmx3600(ReadWholeFile(Session(name)), kFps);
      for (const std::string& error : list.errors)
        ADD_FAILURE() << name << ": " << error;
      events.insert(events.end(), list.events.begin(), list.events.end());
    }
    return events;
  }

  static TestAppDir* s_dir;
  static int s_exit;
  static std::string* s_out;
  static std::vector<MemorySample>* s_memory;
  static nlohmann::json* s_summary;
};

TestAppDir* LongSessionTest::s_dir = nullptr;
int LongSessionTest::s_exit = -1;
std::string* LongSessionTest::s_out = nullptr;
std::vector<MemorySample>* LongSessionTest::s_memory = nullptr;
nlohmann::json* LongSessionTest::s_summary = nullptr;

TEST_F(LongSessionTest, EveryFileIsGoodAndLastsTheSessionWithNothingLost) {
  const double seconds = (*s_summary)["seconds"];
  EXPECT_NEAR(seconds, kHours * 3600, 1.0);
  int checked = 0;
  for (const auto& file : (*s_summary)["files"]) {
    EXPECT_TRUE(file["good"].get<bool>()) << file.dump();
    ++checked;
  }
  EXPECT_GE(checked, kCameras + 4);  // and the director's file, its lists, the multi-stream file
  for (const auto& sink : (*s_summary)["sinks"])
    EXPECT_EQ(sink["dropped"], 0) << sink.dump();
  // Read back by libavformat, as a player opens them.
  for (const std::string name :
       {"camera0.mp4", "camera1.mp4", "camera2.mp4", "camera3.mp4", "director.mp4"}) {
    AVFormatContext* input = nullptr;
    ASSERT_GE(avformat_open_input(&input, Session(name).c_str(), nullptr, nullptr), 0) << name;
    avformat_find_stream_info(input, nullptr);
    EXPECT_NEAR(input->duration / double(AV_TIME_BASE), seconds, 2.0 / kFps) << name;
    // Each file's timecode track begins at the simulated start of day.
    const AVDictionaryEntry* timecode = av_dict_get(input->metadata, "timecode", nullptr, 0);
    for (unsigned i = 0; !timecode && i < input->nb_streams; ++i)
      timecode = av_dict_get(input->streams[i]->metadata, "timecode", nullptr, 0);
    int64_t start = -1;
    ASSERT_NE(timecode, nullptr) << name;
    EXPECT_TRUE(sorvo::Timecode::Parse(timecode->value, kFps, &start));
    // Its first picture, within a second of the start.
    EXPECT_NEAR(static_cast<double>(start), static_cast<double>(kStartFrame), kFps) << name;
    avformat_close_input(&input);
  }
}

TEST_F(LongSessionTest, TheEdlsAreValidWholeAndCountOnPastMidnight) {
  int lists = 0;
  const std::vector<CmxEvent> events = EdlEvents(&lists);
  ASSERT_FALSE(events.empty());
  // The shots cannot go into one list of at most 999 events.
  EXPECT_GE(lists, static_cast<int>(kHours * 1800 / 999) + 1);
  // The lists join without a gap and run forward over midnight: the record times go back
  // to 00:00:00:00 only there, once.
  int wraps = 0;
  for (size_t i = 1; i < events.size(); ++i) {
    const int64_t out = events[i - 1].recordOut % kDayFrames;
    EXPECT_EQ(events[i].recordIn, out) << "event " << i;
    wraps += events[i].recordIn < events[i - 1].recordIn;
  }
  EXPECT_EQ(wraps, 1);
  EXPECT_NEAR(static_cast<double>(events.front().recordIn), static_cast<double>(kStartFrame), kFps);
  const double seconds = (*s_summary)["seconds"];
  EXPECT_NEAR(static_cast<double>(events.back().recordOut + kDayFrames - kStartFrame),
              seconds * kFps, 2);
  // The shots are the cut: one event per switch, and one more for the shot cut at midnight.
  const auto& switches = (*s_summary)["switches"];
  EXPECT_GE(switches.size(), kHours * 3600 / 2 * 0.95);
  std::vector<int> cut;
  for (const auto& shot : switches)
    cut.push_back(shot["camera"]);
  std::vector<int> listed;
  for (size_t i = 0; i < events.size(); ++i) {
    const int camera = std::atoi(events[i].reel.c_str() + 3);
    if (listed.empty() || listed.back() != camera || events[i].recordIn == 0)
      listed.push_back(camera);
  }
  std::vector<int> merged;  // the midnight split undone
  for (int camera : listed)
    if (merged.empty() || merged.back() != camera)
      merged.push_back(camera);
  EXPECT_EQ(merged, cut);
  EXPECT_GE((*s_summary)["marks"].size(), kHours * 60 - 1);
}

TEST_F(LongSessionTest, TheOtioIsWholeAndTheListsDescribeTheProgramPictureForPicture) {
  const auto timeline =
      nlohmann::json::parse(ReadWholeFile(Session("director.otio")), nullptr, false);
  ASSERT_TRUE(timeline.is_object());
  EXPECT_NEAR(timeline["global_start_time"]["value"].get<double>(), kStartFrame, kFps);
  double length = 0;
  size_t clips = 0;
  for (const auto& item : timeline["tracks"]["children"][0]["children"]) {
    length += item["source_range"]["duration"]["value"].get<double>();
    clips += item["OTIO_SCHEMA"] == "Clip.2";
  }
  // The OTIO counts on over midnight without a split.
  EXPECT_EQ(clips, (*s_summary)["switches"].size());
  const std::string mlt = ReadWholeFile(Session("director.mlt"));
  EXPECT_NE(mlt.find("<mlt"), std::string::npos);
  EXPECT_NE(mlt.rfind("</mlt>"), std::string::npos);

  // Every picture of the director's file shows the camera its event names (but at the
  // picture of a cut, where the switch may land one picture either way).
  int lists = 0;
  const std::vector<CmxEvent> events = EdlEvents(&lists);
  const std::map<int64_t, int> program = DrawnCameras(Session("director.mp4"));
  ASSERT_FALSE(program.empty());
  EXPECT_NEAR(static_cast<double>(program.rbegin()->first + 1), length, 1);
  // Pictures a busy machine lost leave gaps; no more than a few.
  EXPECT_GE(static_cast<double>(program.size()), length * 0.99);
  size_t off = 0;
  int64_t at = 0;
  for (const CmxEvent& event : events) {
    const int camera = std::atoi(event.reel.c_str() + 3);
    const int64_t end = at + (event.recordOut - event.recordIn);
    for (auto i = program.upper_bound(at); i != program.end() && i->first + 1 < end; ++i)
      off += i->second != camera;
    at = end;
  }
  EXPECT_EQ(off, 0u);
}

TEST_F(LongSessionTest, MemoryDoesNotGrowWithTheHours) {
  ASSERT_GE(s_memory->size(), 20u);
  const double slope = SlopeKibPerHour(*s_memory, kSettled);
  std::printf(
      "resident memory: %.0f KiB at the first sample, %.0f KiB at the last; %.0f KiB "
      "per simulated hour from %.0f s on\n",
      s_memory->front().kib, s_memory->back().kib, slope, kSettled);
  // Four camera files, the director's and the multi-stream file: under 1 MiB per
  // camera-hour, far above noise, far below an index or a cut kept whole per picture.
  EXPECT_LT(slope, kCameras * 1024.0);
}

}  // namespace
