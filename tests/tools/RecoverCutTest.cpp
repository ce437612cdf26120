// sorvo-record killed with SIGKILL while it switches between two cameras, a mark made at
// its terminal: the cut's journal it leaves lets sorvo-recover, on the session's folder,
// rebuild the files with director.edl, director.otio and the director's chapters, each
// giving the journaled switches at their pictures, and the sound under them.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "TerminalSession.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "codec/Timecode.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "tools/record/edit/Cmx3600Reader.h"

namespace {

using namespace sorvo::test;
using sorvo::tools::CmxEvent;
using sorvo::tools::CmxList;
using std::chrono::seconds;

constexpr int kFps = 25;

struct Switch {
  double time;
  int camera;
};

// The journal's switch lines, in their order.
std::vector<Switch> Switches(const std::string& journal) {
  std::vector<Switch> switches;
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string kind;
    Switch item{};
    if (fields >> kind >> item.time >> item.camera && kind == "switch")
      switches.push_back(item);
  }
  return switches;
}

TEST(RecoverCutTest, AKilledSessionsEditListsAndChaptersAreRebuiltFromItsJournal) {
  TestAppDir dir;
  const int base = FreePortBase(12);
  ASSERT_GT(base, 0);
  const std::string out = dir.File("killed");
  TerminalSession recorder(
      kRecordProgram, {"--seconds", "0", "--fps", std::to_string(kFps), "--switch-every", "0.2",
                       "--camera", "test:160x120", "--camera", "test:160x120", "--director",
                       "160x120", "--no-console", "--ports", std::to_string(base), "--out", out});
  ASSERT_TRUE(recorder.WaitForOutput("Keys 0-1", seconds(60))) << recorder.output();
  const std::string journal = out + "/director.cut";
  auto journaled = [&](size_t count) {
    return WaitUntil([&] { return Switches(ReadWholeFile(journal)).size() >= count; });
  };
  ASSERT_TRUE(journaled(8)) << ReadWholeFile(journal);
  recorder.Type("m");
  ASSERT_TRUE(
      WaitUntil([&] { return ReadWholeFile(journal).find("\nmark\t") != std::string::npos; }));
  // Two seconds more: the mark's fragment of the director's file is complete.
  ASSERT_TRUE(journaled(Switches(ReadWholeFile(journal)).size() + 10));
  recorder.Signal(SIGKILL);
  ASSERT_EQ(recorder.Wait(seconds(60)), 128 + SIGKILL);
  const std::vector<Switch> switches = Switches(ReadWholeFile(journal));

  const ToolResult run = RunTool(kRecoverProgram, {out}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  // The list is strict CMX 3600, its events the journaled switches at their pictures, the
  // first from the program's first picture.
  CmxList list = sorvo::tools::ReadCmx3600(ReadWholeFile(out + "/recovered/director.edl"), kFps);
  for (const std::string& error : list.errors)
    ADD_FAILURE() << error;
  // The sound, its origin journaled, under the shots: from the session's folder.
  ASSERT_FALSE(list.events.empty());
  const CmxEvent sound = list.events.back();
  list.events.pop_back();
  EXPECT_EQ(sound.reel, "SOUND");
  EXPECT_EQ(sound.comments.at(0), "FROM CLIP NAME: sound.wav");
  ASSERT_FALSE(list.events.empty());
  EXPECT_EQ(sound.recordOut, list.events.back().recordOut);
  ASSERT_GE(list.events.size(), 8u) << run.out;
  ASSERT_LE(list.events.size(), switches.size());
  const int64_t start = list.events[0].recordIn;
  bool marked = false;
  for (size_t i = 0; i < list.events.size(); ++i) {
    const CmxEvent& event = list.events[i];
    EXPECT_EQ(event.reel, "CAM" + std::to_string(switches[i].camera)) << i;
    if (i > 0) {
      EXPECT_EQ(event.recordIn - start, std::llround((switches[i].time - switches[0].time) * kFps))
          << i;
    }
    for (const std::string& comment : event.comments)
      marked = marked || comment.compare(0, 5, "LOC: ") == 0;
  }
  EXPECT_TRUE(marked);

  // The director's file starts at the list's first record time.
  const ToolResult timecode =
      RunTool("/usr/bin/ffprobe",
              {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream_tags=timecode",
               "-of", "csv=p=0", out + "/recovered/director.mp4"},
              dir.path());
  EXPECT_EQ(timecode.out.substr(0, 11), sorvo::Timecode::Text(start, kFps));

  // The document has the same clips, from the program's first picture on, without a gap.
  const nlohmann::json timeline =
      nlohmann::json::parse(ReadWholeFile(out + "/recovered/director.otio"));
  EXPECT_EQ(timeline["global_start_time"]["value"], static_cast<double>(start));
  EXPECT_EQ(timeline["tracks"]["children"][1]["kind"], "Audio");
  const nlohmann::json& clips = timeline["tracks"]["children"][0]["children"];
  ASSERT_GE(clips.size(), list.events.size());
  for (size_t i = 0; i < list.events.size(); ++i) {
    EXPECT_EQ(clips[i]["OTIO_SCHEMA"], "Clip.2") << i;
    EXPECT_EQ(clips[i]["name"], "camera" + std::to_string(switches[i].camera)) << i;
    EXPECT_EQ(clips[i]["source_range"]["duration"]["value"],
              static_cast<double>(list.events[i].recordOut - list.events[i].recordIn))
        << i;
  }

  // The rescued director's file has a chapter per shot, the mark in one's title.
  const ToolResult chapters =
      RunTool("/usr/bin/ffprobe",
              {"-v", "error", "-show_entries", "chapter=start_time:chapter_tags=title", "-of",
               "csv=p=0", out + "/recovered/director.mp4"},
              dir.path());
  std::istringstream rows(chapters.out);
  size_t count = 0;
  for (std::string row; std::getline(rows, row); ++count) {
    ASSERT_LT(count, list.events.size()) << chapters.out;
    const double time = (list.events[count].recordIn - start) / static_cast<double>(kFps);
    EXPECT_NEAR(std::stod(row), time, 0.5 / kFps) << row;
    EXPECT_NE(row.find(",camera" + std::to_string(switches[count].camera)), std::string::npos)
        << row;
  }
  EXPECT_EQ(count, list.events.size());
  EXPECT_NE(chapters.out.find("| mark "), std::string::npos) << chapters.out;
}

}  // namespace
