// The editor's hand-off of a sorvo-record session: director.mp4 holds the program with its
// sound and its shots as chapters; director.edl (CMX 3600) and director.otio rebuild the
// program from the camera files, cut with ffmpeg at the times they give, picture for
// picture, and melt renders the MLT project director.mlt as the program with its sound; every file
// says when it was recorded (creation time, a timecode track) and names its tracks. The cameras
// draw their number and counter into their pictures, which is how the test tells which camera's
// which picture a frame shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "DrawnLabel.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "codec/Timecode.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "tools/record/edit/Cmx3600Reader.h"

namespace {

using namespace sorvo::test;
using sorvo::Timecode;
using sorvo::tools::CmxEvent;
using sorvo::tools::CmxList;
using sorvo::tools::ReadCmx3600;

constexpr int kFps = 25;
constexpr double kFrame = 1.0 / kFps;
const char* const kCameras[] = {"camera0.mp4", "camera1.mp4", "camera2.mp4"};

// What ffprobe prints for `entries` of `path`, one line per item, fields by commas.
std::vector<std::vector<std::string>> Ffprobe(const std::string& path,
                                              const std::string& entries,
                                              const std::string& folder) {
  const ToolResult run =
      RunTool("/usr/bin/ffprobe", {"-v", "error", "-show_entries", entries, "-of", "csv=p=0", path},
              folder);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty())
      continue;
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ',');)
      fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// The start timecode of a file's first video stream, in pictures of the day.
int64_t StartTimecode(const std::string& path, const std::string& folder) {
  const auto rows = Ffprobe(path, "stream_tags=timecode", folder);
  int64_t frames = -1;
  EXPECT_FALSE(rows.empty()) << path;
  if (!rows.empty() && !rows[0].empty()) {
    EXPECT_TRUE(Timecode::Parse(rows[0][0], kFps, &frames)) << path << " " << rows[0][0];
  }
  return frames;
}

struct Piece {
  std::string path;
  double start;  // seconds in the file
  double end;
};

struct Seen {
  int camera;
  int counter;
};

std::vector<Seen> Pictures(const std::string& path) {
  const ProbedFile file = ProbeFile(path, true);
  EXPECT_TRUE(file.opened) << path;
  std::vector<Seen> seen;
  if (file.streams.empty())
    return seen;
  EXPECT_EQ(file.streams[0].decodeErrors, 0) << path;
  for (const Picture& picture : file.streams[0].pictures)
    seen.push_back({DrawnCamera(picture), DrawnCounter(picture)});
  return seen;
}

// The pieces cut out of their files with ffmpeg's trim and joined with its concat, as an
// editor rebuilds a program, decoded. Each piece takes the pictures from `start` up to but
// not including `end`: the bounds are moved half a picture back so that no rounding of a
// picture's time moves it across.
std::vector<Seen> Rebuild(const std::vector<Piece>& pieces,
                          const TestAppDir& dir,
                          const std::string& name) {
  std::vector<std::string> args = {"-v", "error", "-y"};
  std::string graph;
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    args.insert(args.end(), {"-i", pieces[i].path});
    const std::string label = "[v" + std::to_string(i) + "]";
    graph +=
        "[" + std::to_string(i) + ":v]trim=start=" + std::to_string(pieces[i].start - kFrame / 2) +
        ":end=" + std::to_string(pieces[i].end - kFrame / 2) + ",setpts=PTS-STARTPTS" + label + ";";
    joined += label;
  }
  graph += joined + "concat=n=" + std::to_string(pieces.size()) + ":v=1:a=0[out]";
  const std::string out = dir.File(name);
  args.insert(args.end(), {"-filter_complex", graph, "-map", "[out]", "-c:v", "ffv1", out});
  const ToolResult run = RunTool("/usr/bin/ffmpeg", args, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return Pictures(out);
}

// The rebuilt program shows the same camera's same picture as the director's file at
// every picture, but for at most one picture at each cut. Returns how many differ.
size_t ExpectSameProgram(const std::vector<Seen>& program, const std::vector<Seen>& rebuilt) {
  EXPECT_FALSE(program.empty());
  std::vector<size_t> cuts;
  for (size_t i = 1; i < program.size(); ++i)
    if (program[i].camera != program[i - 1].camera)
      cuts.push_back(i);
  EXPECT_GE(cuts.size(), 5u);
  EXPECT_LE(std::labs(static_cast<long>(program.size()) - static_cast<long>(rebuilt.size())), 1);
  size_t off = 0;
  for (size_t i = 0; i < std::min(program.size(), rebuilt.size()); ++i) {
    EXPECT_GE(program[i].camera, 0) << i;
    if (program[i].camera == rebuilt[i].camera && program[i].counter == rebuilt[i].counter)
      continue;
    ++off;
    bool nearCut = false;
    for (size_t cut : cuts)
      nearCut = nearCut || (i + 1 >= cut && i <= cut);
    EXPECT_TRUE(nearCut) << "picture " << i << " shows camera " << program[i].camera << " #"
                         << program[i].counter << ", rebuilt camera " << rebuilt[i].camera << " #"
                         << rebuilt[i].counter;
  }
  EXPECT_LE(off, cuts.size());
  return off;
}

std::string Decoded(const std::string& url) {
  std::string path;
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size()) {
      path += static_cast<char>(std::strtol(url.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      path += url[i];
    }
  }
  return path;
}

class ProgramRecordTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir();
    const int base = FreePortBase(12);
    ASSERT_GT(base, 0);
    s_started = std::time(nullptr);
    // Three cameras of the director's own size, so that the director's pictures are theirs
    // as they are; switched every 0.6 s by the recorder itself.
    s_run = new ToolResult(
        RunTool(kRecordProgram,
                {"--seconds", "6", "--fps", std::to_string(kFps), "--camera",
                 "test:320x240:yuv420p", "--camera", "test:320x240:yuv420p", "--camera",
                 "test:320x240:yuv420p", "--director", "320x240", "--switch-every", "0.6",
                 "--ports", std::to_string(base), "--out", s_dir->File("session")},
                s_dir->path()));
  }
  static void TearDownTestSuite() {
    delete s_run;
    delete s_dir;
  }
  void SetUp() override { ASSERT_EQ(s_run->exitCode, 0) << s_run->out << s_run->err; }

  static std::string Session(const std::string& name) { return s_dir->File("session/" + name); }

  static TestAppDir* s_dir;
  static ToolResult* s_run;
  static std::time_t s_started;
};

TestAppDir* ProgramRecordTest::s_dir = nullptr;
ToolResult* ProgramRecordTest::s_run = nullptr;
std::time_t ProgramRecordTest::s_started = 0;

TEST_F(ProgramRecordTest, TheProgramHasItsSoundAndItsShotsAsChapters) {
  const ProbedFile file = ProbeFile(Session("director.mp4"));
  ASSERT_GE(file.streams.size(), 2u);
  ASSERT_EQ(file.streams[1].mediaType, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(file.streams[1].decodeErrors, 0);
  EXPECT_GT(file.streams[1].decodedFrames, 200);
  EXPECT_NEAR(file.streams[1].endSeconds, file.streams[0].endSeconds, kFrame);

  // Where the decoded program changes camera.
  const ProbedFile pictures = ProbeFile(Session("director.mp4"), true);
  std::vector<std::pair<int, double>> shots;
  for (size_t i = 0; i < pictures.streams[0].pictures.size(); ++i) {
    const int camera = DrawnCamera(pictures.streams[0].pictures[i]);
    if (shots.empty() || shots.back().first != camera)
      shots.push_back({camera, pictures.streams[0].pictureSeconds[i]});
  }
  ASSERT_GE(shots.size(), 6u);

  // One chapter per shot, at its switch, titled with its camera's name.
  const auto chapters = Ffprobe(Session("director.mp4"),
                                "chapter=start_time,end_time:chapter_tags=title", s_dir->path());
  ASSERT_EQ(chapters.size(), shots.size());
  for (size_t i = 0; i < shots.size(); ++i) {
    ASSERT_EQ(chapters[i].size(), 3u);
    EXPECT_NEAR(std::stod(chapters[i][0]), shots[i].second, kFrame) << i;
    EXPECT_EQ(chapters[i][2], "camera" + std::to_string(shots[i].first)) << i;
  }

  // The recorder's own cut list says the same: the switches it made, at those times.
  const std::string edl = ReadWholeFile(Session("director.edl"));
  CmxList list = ReadCmx3600(edl, kFps);
  // The sound's event follows the shots.
  ASSERT_EQ(list.events.size(), shots.size() + 1);
  list.events.pop_back();
  const int64_t start = StartTimecode(Session("director.mp4"), s_dir->path());
  for (size_t i = 0; i < shots.size(); ++i) {
    EXPECT_EQ(list.events[i].reel, "CAM" + std::to_string(shots[i].first));
    EXPECT_NEAR((list.events[i].recordIn - start) * kFrame, shots[i].second, kFrame / 2) << i;
  }
}

// Where the first channel's sound first and last rises above silence, in seconds of the file.
std::pair<double, double> SoundSpan(const std::string& path) {
  const ProbedFile file = ProbeFile(path, true);
  for (const ProbedStream& stream : file.streams) {
    if (stream.mediaType != AVMEDIA_TYPE_AUDIO || stream.sampleRate <= 0)
      continue;
    size_t first = stream.sound.size();
    size_t last = 0;
    for (size_t i = 0; i < stream.sound.size(); ++i)
      if (std::fabs(stream.sound[i]) > 0.01f) {
        first = std::min(first, i);
        last = i;
      }
    return {stream.soundStartSeconds + static_cast<double>(first) / stream.sampleRate,
            stream.soundStartSeconds + static_cast<double>(last) / stream.sampleRate};
  }
  ADD_FAILURE() << path << " has no sound";
  return {-1, -1};
}

TEST_F(ProgramRecordTest, TheEdlIsStrictCmx3600AndRebuildsTheProgramFromTheCameraFiles) {
  const std::string text = ReadWholeFile(Session("director.edl"));
  const CmxList list = ReadCmx3600(text, kFps);
  for (const std::string& error : list.errors)
    ADD_FAILURE() << error;
  EXPECT_EQ(list.fcm, "NON-DROP FRAME");
  ASSERT_GE(list.events.size(), 6u);

  std::vector<Piece> pieces;
  std::vector<CmxEvent> sound;
  for (const CmxEvent& event : list.events) {
    if (event.channels != "V") {
      sound.push_back(event);
      continue;
    }
    // The clip's name says which camera file the reel is.
    std::string clip;
    for (const std::string& comment : event.comments)
      if (comment.compare(0, 16, "FROM CLIP NAME: ") == 0)
        clip = comment.substr(16);
    ASSERT_EQ(clip, "camera" + event.reel.substr(3) + ".mp4");
    const std::string path = Session(clip);
    const int64_t fileStart = StartTimecode(path, s_dir->path());
    pieces.push_back(
        {path, (event.sourceIn - fileStart) * kFrame, (event.sourceOut - fileStart) * kFrame});
  }
  ExpectSameProgram(Pictures(Session("director.mp4")), Rebuild(pieces, *s_dir, "from_edl.mkv"));

  // The sound: sound.wav, under the whole program from where its first sample falls, its
  // source timecode the session's there. Laid so, its tone starts where the program's does.
  ASSERT_EQ(sound.size(), 1u);
  EXPECT_EQ(sound[0].reel, "SOUND");
  EXPECT_EQ(sound[0].channels, "AA");
  EXPECT_EQ(sound[0].comments.at(0), "FROM CLIP NAME: sound.wav");
  EXPECT_EQ(sound[0].recordOut, list.events[list.events.size() - 2].recordOut);
  EXPECT_EQ(sound[0].sourceIn, sound[0].recordIn);
  const int64_t start = StartTimecode(Session("director.mp4"), s_dir->path());
  const double firstSample =
      SoundSpan(Session("director.mp4")).first - SoundSpan(Session("sound.wav")).first;
  EXPECT_NEAR((sound[0].recordIn - start) * kFrame, std::max(0.0, firstSample), kFrame);
}

TEST_F(ProgramRecordTest, TheOtioDocumentRebuildsTheProgramFromTheCameraFiles) {
  const nlohmann::json timeline = nlohmann::json::parse(ReadWholeFile(Session("director.otio")));
  ASSERT_EQ(timeline["OTIO_SCHEMA"], "Timeline.1");
  const nlohmann::json& tracks = timeline["tracks"]["children"];
  ASSERT_EQ(tracks.size(), 2u);
  ASSERT_EQ(tracks[0]["kind"], "Video");
  // The sound on a track of its own, as the list has it.
  ASSERT_EQ(tracks[1]["kind"], "Audio");
  const nlohmann::json& sound = tracks[1]["children"].back();
  const std::string url = sound["media_references"]["DEFAULT_MEDIA"]["target_url"];
  EXPECT_EQ(url.substr(url.size() - 10), "/sound.wav");
  const CmxEvent edlSound = ReadCmx3600(ReadWholeFile(Session("director.edl")), kFps).events.back();
  EXPECT_EQ(sound["source_range"]["start_time"]["value"].get<double>(),
            static_cast<double>(edlSound.sourceIn));
  EXPECT_EQ(sound["source_range"]["duration"]["value"].get<double>(),
            static_cast<double>(edlSound.recordOut - edlSound.recordIn));
  EXPECT_EQ(timeline["global_start_time"]["value"].get<double>(),
            static_cast<double>(StartTimecode(Session("director.mp4"), s_dir->path())));

  std::vector<Piece> pieces;
  for (const nlohmann::json& item : tracks[0]["children"]) {
    if (item["OTIO_SCHEMA"] != "Clip.2")
      continue;
    const nlohmann::json& reference =
        item["media_references"][item["active_media_reference_key"].get<std::string>()];
    const std::string url = reference["target_url"];
    ASSERT_EQ(url.compare(0, 7, "file://"), 0) << url;
    const std::string path = Decoded(url.substr(7));
    // Source ranges are in the file's own time, which starts at its first timecode.
    const double rate = item["source_range"]["start_time"]["rate"];
    ASSERT_EQ(rate, kFps);
    const double fileStart = reference["available_range"]["start_time"]["value"];
    EXPECT_EQ(fileStart, static_cast<double>(StartTimecode(path, s_dir->path())));
    const double in = item["source_range"]["start_time"]["value"].get<double>() - fileStart;
    const double length = item["source_range"]["duration"]["value"];
    pieces.push_back({path, in / rate, (in + length) / rate});
  }
  ASSERT_GE(pieces.size(), 6u);
  ExpectSameProgram(Pictures(Session("director.mp4")), Rebuild(pieces, *s_dir, "from_otio.mkv"));
}

// Renders `project` with melt as an editor's export does, into `name` in the test's folder.
std::string Melt(const std::string& project, const std::string& name, const TestAppDir& dir) {
  const std::string out = dir.File(name);
  const ToolResult run = RunTool(
      "/usr/bin/melt",
      {"-quiet", project, "-consumer", "avformat:" + out, "vcodec=mpeg4", "qscale=1", "acodec=aac"},
      dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return out;
}

TEST_F(ProgramRecordTest, MeltRendersTheMltProjectAsTheProgramWithItsSound) {
  const std::string rendered = Melt(Session("director.mlt"), "from_mlt.mp4", *s_dir);
  const ProbedFile file = ProbeFile(rendered);
  ASSERT_FALSE(file.streams.empty());
  EXPECT_EQ(file.streams[0].width, 320);
  EXPECT_EQ(file.streams[0].height, 240);
  const std::vector<Seen> program = Pictures(Session("director.mp4"));
  EXPECT_NEAR(file.streams[0].endSeconds, program.size() * kFrame, kFrame / 2);
  const size_t off = ExpectSameProgram(program, Pictures(rendered));
  std::cout << "melt's rendering differs from director.mp4 in " << off << " of " << program.size()
            << " pictures\n";

  // The sound begins and ends where the program's does, within a picture.
  const auto sound = SoundSpan(rendered);
  const auto expected = SoundSpan(Session("director.mp4"));
  EXPECT_NEAR(sound.first, expected.first, kFrame);
  EXPECT_NEAR(sound.second, expected.second, kFrame);

  // Under the program, each camera's file lies on the session's time: without the program
  // the top camera shows, picture for picture as its own file has them.
  std::string text = ReadWholeFile(Session("director.mlt"));
  const std::string programTrack = "<track producer=\"program\" hide=\"audio\"/>";
  ASSERT_NE(text.find(programTrack), std::string::npos);
  text.erase(text.find(programTrack), programTrack.size());
  s_dir->WriteFile("session/cameras.mlt", text);
  const std::vector<Seen> camera = Pictures(Session("camera2.mp4"));
  const std::vector<Seen> cameras = Pictures(Melt(Session("cameras.mlt"), "cameras.mp4", *s_dir));
  EXPECT_LE(std::labs(static_cast<long>(cameras.size()) - static_cast<long>(program.size())), 1);
  for (size_t i = 0; i < cameras.size() && i < camera.size(); ++i) {
    EXPECT_EQ(cameras[i].camera, 2) << i;
    EXPECT_EQ(cameras[i].counter, camera[i].counter) << i;
  }
}

TEST_F(ProgramRecordTest, EveryFileSaysWhenItWasRecordedAndNamesItsTracks) {
  // The cameras and the director started with the session: the same first timecode.
  const int64_t session = StartTimecode(Session("director.mp4"), s_dir->path());
  for (const char* name : kCameras)
    EXPECT_EQ(StartTimecode(Session(name), s_dir->path()), session) << name;
  EXPECT_EQ(StartTimecode(Session("导播多流.mp4"), s_dir->path()), session);

  // One creation time, the session's start.
  std::string created;
  for (const char* name :
       {"camera0.mp4", "camera1.mp4", "camera2.mp4", "director.mp4", "导播多流.mp4"}) {
    const auto rows = Ffprobe(Session(name), "format_tags=creation_time", s_dir->path());
    ASSERT_EQ(rows.size(), 1u) << name;
    if (created.empty())
      created = rows[0][0];
    EXPECT_EQ(rows[0][0], created) << name;
  }
  std::tm utc{};
  ASSERT_NE(strptime(created.c_str(), "%Y-%m-%dT%H:%M:%S", &utc), nullptr) << created;
  EXPECT_NEAR(static_cast<double>(timegm(&utc)), static_cast<double>(s_started), 10.0);

  auto handlers = [&](const std::string& name) {
    std::vector<std::string> names;
    for (const auto& row :
         Ffprobe(Session(name), "stream=codec_type:stream_tags=handler_name", s_dir->path()))
      if (row.size() == 2 && (row[0] == "video" || row[0] == "audio"))
        names.push_back(row[1]);
    return names;
  };
  EXPECT_EQ(handlers("camera1.mp4"), (std::vector<std::string>{"camera1"}));
  EXPECT_EQ(handlers("director.mp4"), (std::vector<std::string>{"director", "sound"}));
  EXPECT_EQ(handlers("导播多流.mp4"),
            (std::vector<std::string>{"camera0", "camera1", "camera2", "sound"}));
}

TEST(ProgramRecordOptionsTest, NameTemplateNamesEveryFileAndProgramSoundOffLeavesTheProgramSilent) {
  TestAppDir dir;
  const int base = FreePortBase(12);
  ASSERT_GT(base, 0);
  const ToolResult run =
      RunTool(kRecordProgram,
              {"--seconds", "1", "--camera", "test:160x120:yuv420p,name=Stage", "--director",
               "160x120", "--ports", std::to_string(base), "--out", dir.File("show"),
               "--program-sound", "off", "--name-template", "{session}_{camera}.mp4"},
              dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const char* name : {"show_Stage.mp4", "show_director.mp4", "show_sound.wav",
                           "show_director.edl", "show_director.otio", "导播多流.mp4"})
    EXPECT_FALSE(ReadWholeFile(dir.File(std::string("show/") + name)).empty()) << name;
  const ProbedFile program = ProbeFile(dir.File("show/show_director.mp4"));
  // The pictures, their timecode track and the chapters: no sound.
  ASSERT_FALSE(program.streams.empty());
  EXPECT_EQ(program.streams[0].mediaType, AVMEDIA_TYPE_VIDEO);
  EXPECT_GT(program.streams[0].decodedFrames, 20);
  for (const ProbedStream& stream : program.streams)
    EXPECT_NE(stream.mediaType, AVMEDIA_TYPE_AUDIO);
  // The camera's name names its track, the multi-stream file's and the program's chapter.
  const auto handler =
      Ffprobe(dir.File("show/show_Stage.mp4"), "stream_tags=handler_name", dir.path());
  ASSERT_FALSE(handler.empty());
  EXPECT_EQ(handler[0], (std::vector<std::string>{"Stage"}));
  const auto chapters =
      Ffprobe(dir.File("show/show_director.mp4"), "chapter_tags=title", dir.path());
  ASSERT_FALSE(chapters.empty());
  EXPECT_EQ(chapters[0], (std::vector<std::string>{"Stage"}));

  const ToolResult bad = RunTool(kRecordProgram, {"--name-template", "{session}.mp4"}, dir.path());
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("{camera}"), std::string::npos) << bad.err;
}

}  // namespace
