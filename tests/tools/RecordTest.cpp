// sorvo-record as a user runs it: short sessions with small synthetic cameras on ports
// found free, every file read back with libavformat, and the ways a user can get it wrong.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "common/CodecTestSupport.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/ScopedEnv.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/SinkTestSupport.h"
#include "ToolPaths.h"
#include "TerminalSession.h"
#include "ToolProcess.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;
using std::chrono::seconds;

// The recorder's camera ports run from base + 1; the sound is at base + 10.
constexpr int kPortSpan = 10;

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    names.push_back(entry.path().string());
  return names;
}

// One video stream of the given size that decodes without an error and starts on a key
// frame; returns its picture count.
int ExpectGoodVideo(const std::string& path, int width, int height) {
  const ProbedFile file = ProbeFile(path);
  EXPECT_TRUE(file.opened) << path;
  if (!file.opened || file.streams.empty()) return 0;
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.codecId, AV_CODEC_ID_MPEG4) << path;
  EXPECT_EQ(video.width, width) << path;
  EXPECT_EQ(video.height, height) << path;
  EXPECT_EQ(video.decodeErrors, 0) << path;
  EXPECT_FALSE(file.packets.empty()) << path;
  if (!file.packets.empty()) {
    EXPECT_TRUE(file.packets[0].key) << path;
  }
  return video.decodedFrames;
}

// The first channel of a WAV file's 16-bit PCM.
std::vector<int16_t> WavFirstChannel(const std::string& path, int channels) {
  const std::string bytes = ReadWholeFile(path);
  const size_t data = bytes.find("data");
  if (data == std::string::npos) return {};
  std::vector<uint8_t> pcm(bytes.begin() + static_cast<long>(data) + 8, bytes.end());
  return FirstChannel(pcm, channels);
}

// The director's cut shows a 4:3 camera (camera 0) with brown (804000) bars at both sides
// and a 16:9 one (camera 1) across its whole width.
constexpr const char* kBorder = "804000";
bool HasBrownBars(const Picture& picture) {
  auto brown = [&](int x, int y) {
    const int chroma = (y / 2) * ((picture.width + 1) / 2) + x / 2;
    return std::abs(picture.y[y * picture.width + x] - 81) < 16 &&
           std::abs(picture.u[chroma] - 91) < 16 && std::abs(picture.v[chroma] - 161) < 16;
  };
  const int right = picture.width - 6;
  return brown(5, picture.height / 6) && brown(5, picture.height / 2) &&
         brown(right, picture.height / 2) && brown(right, picture.height * 5 / 6);
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    base = FreePortBase(kPortSpan);
    ASSERT_GT(base, 0) << "no free range of ports";
  }

  TestAppDir dir;
  int base = 0;
};

TEST_F(RecordTest, ShortSessionWritesFilesThatReadBackAsTheSummarySays) {
  const std::string out = dir.File("session");
  const std::string json = dir.File("summary.json");
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "3", "--fps", "10", "--camera", "test:320x240:bgr24", "--camera",
               "test:256x144:yuv420p", "--director", "320x180", "--border", kBorder,
               "--switch-every", "1.5", "--ports", std::to_string(base), "--out", out, "--json",
               json, "--private-stream", "--save-stream"},
              dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;

  // Three seconds at ten pictures a second, less what a slow (sanitised) machine drops.
  const int frames0 = ExpectGoodVideo(out + "/camera0.mp4", 320, 240);
  const int frames1 = ExpectGoodVideo(out + "/camera1.mp4", 256, 144);
  for (int frames : {frames0, frames1}) {
    EXPECT_GE(frames, 15);
    EXPECT_LE(frames, 32);
  }

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_TRUE(summary.get<bool>("allGood"));
  std::vector<long long> packets;
  for (const auto& sink : summary.get_child("sinks")) {
    if (!sink.second.get<bool>("video")) {
      EXPECT_EQ(sink.second.get<std::string>("name"), "sound");
      EXPECT_EQ(sink.second.get<int>("port"), base + 10);
      // Three seconds of MP3 frames of 1,152 samples at 44.1 kHz.
      EXPECT_NEAR(sink.second.get<double>("packets"), 3 * 44100 / 1152.0, 15);
      continue;
    }
    const std::string name = sink.second.get<std::string>("name");
    if (name == "director") {
      packets.push_back(sink.second.get<long long>("packets"));
      continue;
    }
    EXPECT_EQ(name, "camera" + std::to_string(packets.size()));
    EXPECT_EQ(sink.second.get<int>("port"), base + 1 + static_cast<int>(packets.size()));
    EXPECT_GE(sink.second.get<long long>("buffersIn"), sink.second.get<long long>("packets"));
    packets.push_back(sink.second.get<long long>("packets"));
  }
  ASSERT_EQ(packets.size(), 3u);  // the cameras and the director
  packets.pop_back();
  // The MP4 began before the first picture: it holds every packet the sink made.
  EXPECT_EQ(packets[0], frames0);
  EXPECT_EQ(packets[1], frames1);

  // The director's cut: camera 0 first, camera 1 from a second and a half on.
  const ProbedFile cut = ProbeFile(out + "/director.mp4", /*keepPictures=*/true);
  ASSERT_TRUE(cut.opened);
  // The pictures, the program's sound, the timecode track and the chapters.
  ASSERT_EQ(cut.streams.size(), 4u);
  EXPECT_EQ(cut.streams[1].codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(cut.streams[1].decodeErrors, 0);
  EXPECT_EQ(cut.streams[0].width, 320);
  EXPECT_EQ(cut.streams[0].height, 180);
  EXPECT_EQ(cut.streams[0].decodeErrors, 0);
  ASSERT_GE(cut.streams[0].pictures.size(), 15u);
  EXPECT_TRUE(HasBrownBars(cut.streams[0].pictures.front()));
  EXPECT_FALSE(HasBrownBars(cut.streams[0].pictures.back()));

  // The multi-stream file: every camera's packets and the sound.
  const ProbedFile multi = ProbeFile(out + "/导播多流.mp4");
  ASSERT_TRUE(multi.opened);
  ASSERT_EQ(multi.streams.size(), 4u);  // and the timecode track
  EXPECT_EQ(multi.streams[0].width, 320);
  EXPECT_EQ(multi.streams[0].decodedFrames, frames0);
  EXPECT_EQ(multi.streams[1].width, 256);
  EXPECT_EQ(multi.streams[1].decodedFrames, frames1);
  EXPECT_EQ(multi.streams[2].codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(multi.streams[2].sampleRate, 44100);
  EXPECT_NEAR(multi.streams[2].endSeconds, 3.0, 0.5);
  for (const ProbedStream& stream : multi.streams) EXPECT_EQ(stream.decodeErrors, 0);

  // Two of each kind: camera MP4s, raw streams, private streams, all good.
  int mp4 = 0, raw = 0, framed = 0;
  for (const auto& file : summary.get_child("files")) {
    EXPECT_TRUE(file.second.get<bool>("good")) << file.second.get<std::string>("path");
    const std::string kind = file.second.get<std::string>("kind");
    mp4 += kind == "camera MP4";
    raw += kind == "raw stream";
    framed += kind == "private stream";
  }
  EXPECT_EQ(mp4, 2);
  // The director's sink saves its stream too.
  EXPECT_EQ(raw, 3);
  EXPECT_EQ(framed, 2);
  // The tone's left channel, 440 Hz, in a WAV file as long as the session.
  const ProbedFile wav = ProbeFile(out + "/sound.wav");
  ASSERT_TRUE(wav.opened);
  ASSERT_EQ(wav.streams.size(), 1u);
  EXPECT_EQ(wav.streams[0].sampleRate, 44100);
  EXPECT_EQ(wav.streams[0].channels, 2);
  EXPECT_NEAR(wav.streams[0].endSeconds, 3.0, 0.5);
  EXPECT_NEAR(StrongestFrequency(WavFirstChannel(out + "/sound.wav", 2), 44100, 200, 1000, 5),
              440, 5);
  EXPECT_EQ(FilesIn(dir.File("RawStream")).size(), 3u);
  EXPECT_EQ(FilesIn(dir.File("PrivateRawStream")).size(), 2u);
  // The raw stream setting was the recorder's for the run only.
  EXPECT_FALSE(fs::exists(dir.File("SettingVideo.ini")));
}

TEST_F(RecordTest, ViewersReceiveWhileItRecordsAndSigtermFinishesEveryFile) {
  const std::string out = dir.File("live");
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--fps", "10", "--camera", "test:240x180", "--ports",
                        std::to_string(base), "--out", out},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60)))
      << recorder.Stdout() << recorder.Stderr();

  // Two clients at once: one keeps the timed MP4, one the bare stream.
  const std::string address = "127.0.0.1:" + std::to_string(base + 1);
  ToolProcess mp4View(kViewProgram,
                      {address, "--seconds", "2.5", "--out", dir.File("view.mp4")}, dir.path());
  ToolProcess m4vView(kViewProgram,
                      {address, "--seconds", "2.5", "--out", dir.File("view.m4v")}, dir.path());
  ToolProcess soundView(kViewProgram,
                        {"--audio", "127.0.0.1:" + std::to_string(base + 10), "--seconds", "2.5",
                         "--out", dir.File("sound.mp3")},
                        dir.path());
  EXPECT_EQ(mp4View.Wait(seconds(60)), 0) << mp4View.Stdout() << mp4View.Stderr();
  EXPECT_EQ(m4vView.Wait(seconds(60)), 0) << m4vView.Stdout() << m4vView.Stderr();
  const std::string said = mp4View.Stdout();
  EXPECT_NE(said.find("240x180, pixel format 3 (BGR24), 10 pictures/s"), std::string::npos)
      << said;
  EXPECT_NE(said.find("every size, number, key flag and picture size agrees"), std::string::npos)
      << said;
  EXPECT_GE(ExpectGoodVideo(dir.File("view.mp4"), 240, 180), 5);
  const ProbedFile bare = ProbeFile(dir.File("view.m4v"));
  ASSERT_TRUE(bare.opened);
  EXPECT_EQ(bare.streams[0].decodeErrors, 0);
  EXPECT_GE(bare.streams[0].decodedFrames, 5);
  EXPECT_EQ(soundView.Wait(seconds(60)), 0) << soundView.Stdout() << soundView.Stderr();
  const ProbedFile mp3 = ProbeFile(dir.File("sound.mp3"));
  ASSERT_TRUE(mp3.opened);
  ASSERT_EQ(mp3.streams.size(), 1u);
  EXPECT_EQ(mp3.streams[0].codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(mp3.streams[0].sampleRate, 44100);
  EXPECT_EQ(mp3.streams[0].decodeErrors, 0);
  EXPECT_GE(mp3.streams[0].endSeconds, 1.0);

  recorder.Signal(SIGTERM);
  ASSERT_EQ(recorder.Wait(seconds(60)), 0) << recorder.Stdout() << recorder.Stderr();
  EXPECT_NE(recorder.Stdout().find("Stopping on SIGTERM"), std::string::npos);
  EXPECT_NE(recorder.Stdout().find("Every file is good"), std::string::npos) << recorder.Stdout();
  EXPECT_GE(ExpectGoodVideo(out + "/camera0.mp4", 240, 180), 20);
}

TEST_F(RecordTest, RecordsFromAVideoFileAndAnyFfmpegInput) {
  // A clip recorded through the library is the video file: 40 pictures of 176x144.
  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, 176, 144, 1, 20);
  info.pixelFormat = PIX_FMT_YUV420P;
  ISorvoSink* raw = nullptr;
  const std::string clip = dir.File("clip.mp4");
  ASSERT_EQ(CreateSorvo("clip", clip.c_str(), info, 400000, FreeLoopbackPort(), &raw, 0, 0), 1u);
  auto* sink = static_cast<CSorvoSinkFF*>(raw);
  PacketCollector collector;
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_EQ(sink->StartRecord(), 1);
  ASSERT_TRUE(FeedPictures(*sink, collector, 176, 144, 40));
  sink->Close();
  sink->Release();

  const std::string out = dir.File("media");
  const ToolResult run = RunTool(
      kRecordProgram,
      {"--seconds", "2.5", "--camera", clip, "--camera", "lavfi:testsrc2=size=160x120:rate=10",
       "--ports", std::to_string(base), "--out", out},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find(clip + " (file, 176x144, 20/s)"), std::string::npos) << run.out;
  // The clip lasts two seconds and plays in a loop at its own rate.
  const int fromClip = ExpectGoodVideo(out + "/camera0.mp4", 176, 144);
  EXPECT_GE(fromClip, 30);
  EXPECT_LE(fromClip, 52);
  const int fromFilter = ExpectGoodVideo(out + "/camera1.mp4", 160, 120);
  EXPECT_GE(fromFilter, 15);
  EXPECT_LE(fromFilter, 27);
}

// A second Ctrl-C while the files are read back skips the rest of the check: the files
// were closed as usual, so none is called bad, each keeps its size, and the exit is 0.
TEST_F(RecordTest, ASecondCtrlCSkipsTheReadBackAndStillGivesTheSizes) {
  const std::string out = dir.File("twice");
  const std::string json = dir.File("twice.json");
  // Large pictures, so that reading them back takes long enough to be interrupted. The bare
  // streams, written packet by packet, tell when camera1 and the director have encoded a
  // picture: a slow build (a sanitizer's) may take seconds for the first.
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--camera", "test:1920x1080", "--camera",
                        "test:1920x1080:yuv420p", "--director", "1920x1080", "--ports",
                        std::to_string(base), "--out", out, "--json", json, "--save-stream"},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60))) << recorder.Stderr();
  auto encoded = [&](const std::string& sink) {
    for (const std::string& file : FilesIn(dir.File("RawStream"))) {
      std::error_code error;
      if (file.find("Sorvo_" + sink + "_") != std::string::npos && fs::file_size(file, error) > 0)
        return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  while (!(encoded("camera1") && encoded("director")) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(encoded("camera1") && encoded("director")) << recorder.Stdout() << recorder.Stderr();
  recorder.Signal(SIGINT);
  ASSERT_TRUE(recorder.WaitForOutput("Stopping on Ctrl-C", seconds(60)));
  recorder.Signal(SIGINT);
  ASSERT_EQ(recorder.Wait(seconds(60)), 0) << recorder.Stdout() << recorder.Stderr();
  const std::string said = recorder.Stdout();
  EXPECT_NE(said.find("Stopping again: every file is closed; reading them back is skipped."),
            std::string::npos)
      << said;
  EXPECT_EQ(said.find("BAD"), std::string::npos) << said;
  EXPECT_NE(said.find(" files (stopped again); they were closed as usual"), std::string::npos)
      << said;

  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  EXPECT_TRUE(summary.get<bool>("allGood"));
  EXPECT_FALSE(summary.get<bool>("allChecked"));
  int skipped = 0;
  for (const auto& file : summary.get_child("files")) {
    const std::string path = file.second.get<std::string>("path");
    const long long bytes = file.second.get<long long>("bytes");
    EXPECT_EQ(bytes, static_cast<long long>(fs::file_size(path))) << path;
    EXPECT_GT(bytes, 0) << path;
    if (file.second.get<bool>("checked")) {
      EXPECT_TRUE(file.second.get<bool>("good")) << path;
      continue;
    }
    ++skipped;
    EXPECT_EQ(file.second.get<std::string>("problem"), "not read back (stopped)");
  }
  EXPECT_GT(skipped, 0);
  // Every file was closed as usual all the same.
  EXPECT_GE(ExpectGoodVideo(out + "/camera1.mp4", 1920, 1080), 1);
  EXPECT_GE(ExpectGoodVideo(out + "/director.mp4", 1920, 1080), 1);
}

TEST_F(RecordTest, OnATerminalKeysSwitchTheDirectorAndQStops) {
  const std::string out = dir.File("keys");
  TerminalSession terminal(kRecordProgram,
                           {"--seconds", "0", "--fps", "10", "--switch-every", "0", "--camera",
                            "test:320x240", "--camera", "test:256x144", "--director", "320x180",
                            "--border", kBorder, "--audio", "none", "--ports",
                            std::to_string(base), "--out", out});
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.WaitForOutput("Keys 0-1 choose the director's camera", seconds(60)))
      << terminal.output();
  // The progress line is rewritten in place.
  ASSERT_TRUE(terminal.WaitForOutput("\r\033[K", seconds(60))) << terminal.output();
  ASSERT_TRUE(terminal.WaitForOutput("director: camera0", seconds(60))) << terminal.output();
  terminal.Type("7");
  EXPECT_TRUE(terminal.WaitForOutput("there is no camera 7", seconds(60))) << terminal.output();
  terminal.Type("1");
  ASSERT_TRUE(terminal.WaitForOutput("director: camera1", seconds(60))) << terminal.output();
  // Camera 1 on the cut for a few more progress lines, then q.
  for (int line = 0; line < 4; ++line)
    ASSERT_TRUE(terminal.WaitForOutput("director: camera1", seconds(60),
                                       terminal.output().rfind("director: camera1") + 1));
  terminal.Type("q");
  ASSERT_EQ(terminal.Wait(seconds(60)), 0) << terminal.output();
  EXPECT_NE(terminal.output().find("Every file is good"), std::string::npos) << terminal.output();
  EXPECT_TRUE(terminal.LineModeRestored());

  const ProbedFile cut = ProbeFile(out + "/director.mp4", /*keepPictures=*/true);
  ASSERT_TRUE(cut.opened);
  ASSERT_FALSE(cut.streams.empty());
  ASSERT_GE(cut.streams[0].pictures.size(), 2u);
  EXPECT_TRUE(HasBrownBars(cut.streams[0].pictures.front()));
  EXPECT_FALSE(HasBrownBars(cut.streams[0].pictures.back()));
}

// The text of the progress line drawn at `from` (after its "\033[K"), up to the next
// control character.
std::string ProgressAt(const std::string& out, size_t from) {
  const size_t start = out.find("\033[K", from);
  if (start == std::string::npos) return "";
  const size_t end = out.find_first_of("\r\n\033", start + 3);
  return out.substr(start + 3, end == std::string::npos ? std::string::npos : end - start - 3);
}

TEST_F(RecordTest, OnATerminalLibraryLinesGoAboveTheProgressLineAndAreExplainedOnce) {
  TerminalSession terminal(kRecordProgram,
                           {"--seconds", "0", "--fps", "10", "--switch-every", "0", "--camera",
                            "test:320x240", "--camera", "test:256x144", "--director", "320x240",
                            "--audio", "none", "--ports", std::to_string(base), "--out",
                            dir.File("log")});
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.WaitForOutput("director: camera0", seconds(60))) << terminal.output();
  // Camera 1 on the cut: the director sets up its scaling and the library warns, on one
  // of its own threads, while the progress line is on the screen.
  terminal.Type("1");
  const std::string warning = "library warning: 单流导播分辨率与源(camera1)分辨率大小不一样,"
                              "需要resize:单流:320,180;源:256,144";
  ASSERT_TRUE(terminal.WaitForOutput(warning, seconds(60))) << terminal.output();
  const size_t at = terminal.output().find(warning);
  // Something comes after the warning: the line drawn again, then the next update.
  ASSERT_TRUE(terminal.WaitForOutput(" s | ", seconds(60), at)) << terminal.output();
  ASSERT_TRUE(terminal.WaitForOutput("director: camera1", seconds(60), at));
  const std::string& out = terminal.output();

  // The warning starts on a cleared line, and the progress line it cleared comes back
  // below it as it was, before any newer one.
  ASSERT_GE(at, 4u);
  EXPECT_EQ(out.substr(at - 4, 4), "\r\033[K");
  const size_t before = out.rfind("\033[K", at - 5);
  ASSERT_NE(before, std::string::npos);
  const std::string cleared = ProgressAt(out, before);
  EXPECT_NE(cleared.find(" s | camera0 "), std::string::npos) << cleared;
  EXPECT_EQ(ProgressAt(out, at), cleared) << out.substr(at);

  // The recorder says once, in its own words, what each camera's warning means.
  terminal.Type("0");
  terminal.Type("1");
  terminal.Type("q");
  ASSERT_EQ(terminal.Wait(seconds(60)), 0) << terminal.output();
  const std::string all = terminal.output();
  EXPECT_NE(all.find("library warning: 单流导播分辨率与源(camera0)分辨率大小不一样,"
                     "需要resize:单流:320,240;源:320,240"),
            std::string::npos)
      << all;
  const std::string sameSize =
      "note: the library's resize warning for camera0 means that the director converts its "
      "320x240 pictures to its own pixel format (YUV 4:2:0) and keeps their size";
  const std::string scaled =
      "note: the library's resize warning for camera1 means that the director scales its 256x144 "
      "pictures to 320x180 to fit its cut";
  for (const std::string& note : {sameSize, scaled}) {
    const size_t first = all.find(note);
    EXPECT_NE(first, std::string::npos) << all;
    EXPECT_EQ(all.find(note, first + 1), std::string::npos) << all;
  }
}

// Without a display no window can open: the recorder says so once, in its own words, asks
// the library for no window, and records.
TEST_F(RecordTest, WithoutADisplayPreviewIsLeftOutWithOneWordWhy) {
  const ScopedEnv x11("DISPLAY", nullptr);
  const ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  const ScopedEnv driver("SDL_VIDEODRIVER", nullptr);
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "1", "--fps", "10", "--preview", "--camera", "test:160x120", "--audio",
               "none", "--ports", std::to_string(base), "--out", dir.File("blind")},
              dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::string note =
      "note: --preview: no preview window can open: there is no display (neither DISPLAY nor "
      "WAYLAND_DISPLAY is set); recording without previews\n";
  const size_t summary = run.out.find("\nRecorded ");
  ASSERT_NE(summary, std::string::npos) << run.out;
  const size_t first = run.out.find(note);
  EXPECT_LT(first, summary) << run.out;
  EXPECT_EQ(run.out.find(note, first + 1), run.out.find(note, summary)) << run.out;
  // Nothing but the library's own lines on standard error.
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line);)
    EXPECT_EQ(line.rfind("library ", 0), 0u) << line;
  EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;
}

// The dropped pictures of every progress line, in order, and whether the last line is the
// one drawn after the sinks closed.
std::vector<long long> DroppedOfEachLine(const std::string& out, bool* endsFinal) {
  std::vector<long long> counts;
  std::istringstream in(out);
  std::string last;
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(" | dropped ");
    if (at == std::string::npos) continue;
    counts.push_back(std::stoll(line.substr(at + 11)));
    last = line;
  }
  *endsFinal = last.size() >= 8 && last.substr(last.size() - 8) == " | final";
  return counts;
}

TEST_F(RecordTest, CountersNeverGoBackAgreeWithTheSummaryAndCountTheSoundsClients) {
  const std::string json = dir.File("counters.json");
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--fps", "10", "--camera", "test:160x120", "--ports",
                        std::to_string(base), "--out", dir.File("counters"), "--json", json},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", seconds(60))) << recorder.Stderr();
  EXPECT_TRUE(recorder.WaitForOutput(
      "clients: viewers of the cameras', the director's and the sound's servers", seconds(60)));
  // A listener of the sound alone is a client.
  LoopbackClient listener(static_cast<unsigned short>(base + 10));
  ASSERT_TRUE(listener.connected());
  ASSERT_TRUE(recorder.WaitForOutput("| clients 1 |", seconds(60))) << recorder.Stdout();
  // A recorder held up for a while finds its test camera's pictures late: they are dropped.
  recorder.Signal(SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  recorder.Signal(SIGCONT);
  // Two more lines once it runs again: the first may have been drawn before it resumed.
  const size_t resumed = recorder.Stdout().size();
  ASSERT_TRUE(recorder.WaitForOutput(" s | ", seconds(60), resumed));
  ASSERT_TRUE(recorder.WaitForOutput(" s | ", seconds(60),
                                     recorder.Stdout().find(" s | ", resumed) + 1));
  recorder.Signal(SIGTERM);
  ASSERT_EQ(recorder.Wait(seconds(60)), 0) << recorder.Stdout() << recorder.Stderr();

  bool endsFinal = false;
  const std::vector<long long> dropped = DroppedOfEachLine(recorder.Stdout(), &endsFinal);
  ASSERT_GE(dropped.size(), 3u) << recorder.Stdout();
  EXPECT_TRUE(std::is_sorted(dropped.begin(), dropped.end())) << recorder.Stdout();
  EXPECT_TRUE(endsFinal) << recorder.Stdout();
  boost::property_tree::ptree summary;
  ASSERT_NO_THROW(boost::property_tree::read_json(json, summary));
  long long total = 0;
  for (const auto& sink : summary.get_child("sinks"))
    total += sink.second.get<long long>("dropped");
  EXPECT_GT(total, 0);
  EXPECT_EQ(dropped.back(), total) << recorder.Stdout();
}

// A mistake on the command line: one message, a non-zero exit, no session folder.
struct BadCall {
  std::vector<std::string> args;
  int exitCode;
  std::string message;
};

std::vector<std::string> SeventeenCameras() {
  std::vector<std::string> args;
  for (int i = 0; i < 17; ++i)
    args.insert(args.end(), {"--camera", "test"});
  return args;
}

TEST_F(RecordTest, BadCallsSayWhatIsWrongAndLeaveNoSession) {
  const std::string out = dir.File("never");
  dir.WriteFile("notes.txt", "not a video\n");
  const std::vector<BadCall> calls = {
      {{"--bogus"}, 2, "--bogus"},
      {{"--fps", "0"}, 2, "--fps"},
      {{"--director", "100x100"}, 2, "101 and 4999"},
      {{"--zoom", "crop"}, 2, "--zoom"},
      {{"--border", "red"}, 2, "RRGGBB"},
      {SeventeenCameras(), 2, "at most 16 cameras"},
      {{"--camera", "test:50x50"}, 2, "100 to 5000"},
      {{"--camera", "test:320x240:rgb565"}, 2, "unknown picture format"},
      {{"--camera", "/nonexistent/clip.mp4"}, 1, "camera 0 (/nonexistent/clip.mp4)"},
      {{"--camera", dir.File("notes.txt")}, 1, "camera 0 (" + dir.File("notes.txt") + ")"},
      {{"--audio", "/nonexistent/tone.wav"}, 1, "sound (/nonexistent/tone.wav)"},
      {{"--json", "/nonexistent/summary.json"}, 1, "its folder does not exist"},
  };
  for (const BadCall& call : calls) {
    std::vector<std::string> args = call.args;
    args.insert(args.end(), {"--seconds", "1", "--ports", std::to_string(base), "--out", out});
    const ToolResult run = RunTool(kRecordProgram, args, dir.path());
    EXPECT_EQ(run.exitCode, call.exitCode) << call.args[0] << "\n" << run.err;
    EXPECT_NE(run.err.find(call.message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n') <= 2, true) << run.err;
  }
  EXPECT_FALSE(fs::exists(out));

  const ToolResult unwritable =
      RunTool(kRecordProgram, {"--seconds", "1", "--ports", std::to_string(base), "--camera",
                               "test:160x120", "--out", "/proc/sorvo-session"},
              dir.path());
  EXPECT_EQ(unwritable.exitCode, 1);
  EXPECT_NE(unwritable.err.find("cannot make the folder /proc/sorvo-session"), std::string::npos)
      << unwritable.err;
}

// Every option's mistake names what the option accepts, in words: never a number no one
// reads, and never a value taken that would record forever or switch without pause.
TEST_F(RecordTest, OptionMistakesNameTheAcceptedRangeInWords) {
  const std::string out = dir.File("never");
  const std::vector<std::pair<std::vector<std::string>, std::string>> calls = {
      {{"--seconds", "-1"},
       "--seconds: -1 is not accepted: give a number of seconds from 0 to 31,536,000"},
      {{"--seconds", "nan"}, "--seconds: nan is not accepted: give a number of seconds from 0 to"},
      {{"--seconds", "1e400"}, "--seconds: 1e400 is not accepted: give a number of seconds from 0"},
      {{"--seconds", ""}, "--seconds: an empty value is not accepted"},
      {{"--fps", "3.5"}, "--fps: 3.5 is not accepted: give a whole number from 1 to 35"},
      {{"--fps", "36"}, "--fps: 36 is not accepted: give a whole number from 1 to 35"},
      {{"--bitrate", "5"},
       "--bitrate: 5 is not accepted: give a whole number of bits per second from 101 to "
       "134,217,727"},
      {{"--ports", "99999"},
       "--ports: 99999 is not accepted: give a whole number from 1,024 to 65,524"},
      {{"--zoom", "crop"}, "--zoom: crop is not accepted: give stretch or fit"},
      {{"--switch-every", "1e-12"},
       "--switch-every: 1e-12 is not accepted: give 0 (switch only by key) or a number of seconds "
       "from 0.04 (one picture at 25 pictures a second) to 31,536,000"},
      {{"--switch-every", "0.05", "--fps", "10"},
       "--switch-every: 0.05 is not accepted: give 0 (switch only by key) or a number of seconds "
       "from 0.1 (one picture at 10 pictures a second) to 31,536,000"},
  };
  for (const auto& [args, message] : calls) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--ports", std::to_string(base), "--out", out});
    if (args[0] == "--ports") all.erase(all.end() - 4, all.end() - 2);
    const ToolResult run = RunTool(kRecordProgram, all, dir.path(), seconds(30));
    EXPECT_EQ(run.exitCode, 2) << args[0] << " " << args[1] << "\n" << run.out << run.err;
    EXPECT_EQ(run.err.rfind("sorvo-record: " + message, 0), 0u) << run.err;
    EXPECT_LT(run.err.size(), 250u) << run.err;
  }
  EXPECT_FALSE(fs::exists(out));
}

// The names in a folder, in name order.
std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const std::string& path : FilesIn(folder)) names.push_back(fs::path(path).filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(RecordTest, AFolderHoldingASessionIsRefusedUnlessForcedThenItsFilesAreMovedAside) {
  const std::string out = dir.File("again");
  const std::vector<std::string> common = {"--seconds", "1", "--fps", "10", "--ports",
                                           std::to_string(base), "--out", out};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    return args;
  };
  const ToolResult first = RunTool(
      kRecordProgram, with({"--camera", "test:160x120", "--camera", "test:176x144"}), dir.path());
  ASSERT_EQ(first.exitCode, 0) << first.out << first.err;
  const std::vector<std::string> session = {
      "camera0.mp4",   "camera1.mp4", "director.edl", "director.mlt",
      "director.mp4",  "director.otio", "sound.wav",  "导播多流.mp4"};
  ASSERT_EQ(NamesIn(out), session);
  std::vector<std::string> bytes;
  for (const std::string& name : session) bytes.push_back(ReadWholeFile(out + "/" + name));

  // Refused before anything is written: the earlier session stays as it was.
  const ToolResult refused =
      RunTool(kRecordProgram, with({"--camera", "test:160x120"}), dir.path());
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find(out + " already holds recordings (camera0.mp4, camera1.mp4, "
                                   "director.edl, director.mlt, director.mp4, director.otio, "
                                   "sound.wav, "
                                   "导播多流.mp4); choose another --out folder, or add --force"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(NamesIn(out), session);
  for (size_t i = 0; i < session.size(); ++i)
    EXPECT_TRUE(ReadWholeFile(out + "/" + session[i]) == bytes[i]) << session[i];

  // Forced, with one camera and no sound: the earlier files go aside whole, and nothing of
  // theirs is left beside the new ones.
  const ToolResult forced = RunTool(
      kRecordProgram, with({"--force", "--camera", "test:160x120", "--audio", "none"}), dir.path());
  ASSERT_EQ(forced.exitCode, 0) << forced.out << forced.err;
  const std::string said = "--force: the earlier recordings were moved aside into " + out +
                           "/earlier-1: camera0.mp4, camera1.mp4, director.edl, director.mlt, "
                           "director.mp4, director.otio, sound.wav, 导播多流.mp4";
  EXPECT_NE(forced.out.find(said), std::string::npos) << forced.out;
  EXPECT_NE(forced.out.find("note: " + said), std::string::npos) << forced.out;
  EXPECT_EQ(NamesIn(out),
            (std::vector<std::string>{"camera0.mp4", "director.edl", "director.mlt", "director.mp4",
                                      "director.otio", "earlier-1", "导播多流.mp4"}));
  ASSERT_EQ(NamesIn(out + "/earlier-1"), session);
  for (size_t i = 0; i < session.size(); ++i)
    EXPECT_TRUE(ReadWholeFile(out + "/earlier-1/" + session[i]) == bytes[i]) << session[i];
  EXPECT_GE(ExpectGoodVideo(out + "/camera0.mp4", 160, 120), 5);
}

// A recorder installed for every user runs from a folder its users cannot write: the
// library's stream folders and the settings changed for the session go into the session
// folder, the user's own settings still hold, and the recorder says where.
TEST_F(RecordTest, AnApplicationDirectoryThatCannotTakeTheFilesGivesWayToTheSessionFolder) {
  struct Case {
    std::string appDir;
    std::vector<std::string> options;
    std::string why;
  };
  // Below a regular file nothing can be made, not even by root; a stream folder taken by a
  // file cannot take the library's files while the user's settings beside it can be read.
  dir.WriteFile("plain", "a regular file\n");
  fs::create_directory(dir.File("installed"));
  dir.WriteFile("installed/PrivateRawStream", "a file where the folder should be\n");
  const std::string settings = "[Transfer]\nBindAddress=127.0.0.1\n[Sorvo]\nSaveStream=1\n";
  dir.WriteFile("installed/SettingVideo.ini", settings);
  const std::vector<Case> cases = {
      {dir.File("plain/app"),
       {"--private-stream", "--save-stream", "--fragmented-mp4"},
       "the application directory " + dir.File("plain/app") +
           " cannot be written (Not a directory)"},
      // The user's SaveStream=1 keeps the raw streams on.
      {dir.File("installed"),
       {"--private-stream"},
       "the library's folder " + dir.File("installed/PrivateRawStream") +
           " cannot take files (it is not a folder)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appDir);
    const std::string out = dir.File("session" + std::to_string(&c - cases.data()));
    std::vector<std::string> args = {"--seconds", "1", "--fps", "10", "--camera", "test:160x120",
                                     "--audio", "none", "--ports", std::to_string(base), "--out",
                                     out};
    args.insert(args.end(), c.options.begin(), c.options.end());
    setenv("SORVO_APP_DIR", c.appDir.c_str(), 1);
    const ToolResult run = RunTool(kRecordProgram, args, dir.path());
    setenv("SORVO_APP_DIR", dir.path().c_str(), 1);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("note: " + c.why + ": the library's stream folders and the session's "
                           "settings are kept in the session folder " + out + " instead"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("stream files go under " + out + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;
    EXPECT_EQ(FilesIn(out + "/PrivateRawStream").size(), 1u);
    EXPECT_EQ(FilesIn(out + "/RawStream").size(), 2u);  // the camera's and the director's
    EXPECT_FALSE(fs::exists(out + "/SettingVideo.ini"));
  }
  EXPECT_NE(ReadWholeFile(dir.File("session0/camera0.mp4")).find("moof"), std::string::npos);
  EXPECT_EQ(ReadWholeFile(dir.File("installed/SettingVideo.ini")), settings);
  EXPECT_FALSE(fs::exists(dir.File("installed/RawStream")));
}

TEST_F(RecordTest, CamerasOfOneSizeStartedTogetherKeepPrivateStreamsOfTheirOwn) {
  const std::string out = dir.File("same-size");
  const ToolResult run = RunTool(
      kRecordProgram, {"--seconds", "2", "--camera", "test:160x120", "--camera", "test:160x120",
                       "--camera", "test:160x120", "--director", "320x180", "--ports",
                       std::to_string(base), "--out", out, "--private-stream"},
      dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;
  const std::vector<std::string> files = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(files.size(), 3u);
  for (const std::string& path : files) {
    EXPECT_NE(path.find("/Sorvo_160_120_c0c0_"), std::string::npos) << path;
    EXPECT_GT(fs::file_size(path), 0u) << path;
  }
}

TEST_F(RecordTest, APortInUseIsRefusedBeforeAnythingIsWritten) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(base + 2));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  const std::string out = dir.File("busy");
  const ToolResult run =
      RunTool(kRecordProgram, {"--seconds", "1", "--camera", "test:160x120", "--camera",
                               "test:160x120", "--ports", std::to_string(base), "--out", out},
              dir.path());
  close(fd);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("port " + std::to_string(base + 2) + " for camera1 is in use"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
