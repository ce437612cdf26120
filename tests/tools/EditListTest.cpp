// The cut list and its writers on their own: shots and marks as they come in from several
// threads, the session's timecode, the plan that lays the cut against files started at
// different times, the CMX 3600 list (checked by a strict reader written from the format's
// definition) and the OpenTimelineIO document (read back as JSON).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/TestAppDir.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/SessionSummary.h"
#include "tools/record/edit/ChapterTitles.h"
#include "tools/record/edit/Cmx3600Reader.h"
#include "tools/record/edit/CutJournal.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/edit/EdlWriter.h"
#include "tools/record/edit/OtioWriter.h"
#include "tools/record/sources/CameraSpec.h"

namespace {

using namespace sorvo::tools;
using sorvo::Timecode;
using sorvo::test::TestAppDir;
using sorvo::tools::CmxEvent;

TEST(TimecodeTest, CountsPicturesOfTheDayAndReadsThemBack) {
  EXPECT_EQ(Timecode::Text(0, 25), "00:00:00:00");
  EXPECT_EQ(Timecode::Text(25 * 3723 + 24, 25), "01:02:03:24");
  // Two digits of frames at a rate below ten as well, as an edit decision list needs.
  EXPECT_EQ(Timecode::Text(5 * 3723 + 4, 5), "01:02:03:04");
  // The day wraps at midnight, both ways.
  EXPECT_EQ(Timecode::Text(25 * 86400 + 1, 25), "00:00:00:01");
  EXPECT_EQ(Timecode::Text(-1, 25), "23:59:59:24");
  int64_t frame = 0;
  ASSERT_TRUE(Timecode::Parse("01:02:03:24", 25, &frame));
  EXPECT_EQ(frame, 25 * 3723 + 24);
  EXPECT_FALSE(Timecode::Parse("01:02:03:25", 25, &frame));
  EXPECT_FALSE(Timecode::Parse("24:00:00:00", 25, &frame));
  EXPECT_FALSE(Timecode::Parse("1:02:03:04", 25, &frame));
  const Timecode clock(36000.0 + 0.019, 25);
  EXPECT_EQ(clock.FrameAt(0), 25 * 36000);  // 0.019 s is under half a picture
  EXPECT_EQ(clock.FrameAt(0.04), 25 * 36000 + 1);
}

TEST(CutListTest, SwitchesFromManyThreadsBecomeShotsInTimeOrder) {
  CutList cut;
  // A follower that takes the changes while they come ends with the same cut.
  std::vector<Shot> followed;
  std::vector<Mark> followedMarks;
  std::atomic<bool> added{false};
  std::thread follower([&] {
    while (!added.load())
      cut.TakeChange().ApplyTo(&followed, &followedMarks);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&cut, t] {
      for (int i = 0; i < 100; ++i) {
        cut.AddSwitch(t * 100 + i, (t * 100 + i) % 3);
        cut.AddMark(t * 100 + i + 0.5, "m");
      }
    });
  for (std::thread& thread : threads)
    thread.join();
  added = true;
  follower.join();
  cut.TakeChange().ApplyTo(&followed, &followedMarks);
  const std::vector<Shot> shots = cut.Shots();
  ASSERT_EQ(shots.size(), 400u);
  ASSERT_EQ(followed.size(), 400u);
  for (size_t i = 0; i < shots.size(); ++i) {
    EXPECT_EQ(shots[i].time, static_cast<double>(i));
    EXPECT_EQ(followed[i].time, shots[i].time);
    EXPECT_EQ(followed[i].camera, shots[i].camera);
  }
  EXPECT_EQ(cut.Marks().size(), 400u);
  ASSERT_EQ(followedMarks.size(), 400u);
  EXPECT_EQ(followedMarks.back().time, 399.5);

  // A switch to the camera already shown is no shot; of two at one moment the later stands.
  CutList twice;
  twice.AddSwitch(1.0, 0);
  twice.AddSwitch(2.0, 0);
  twice.AddSwitch(3.0, 1);
  EXPECT_EQ(twice.TakeChange().shots.size(), 2u);
  twice.AddSwitch(3.0, 2);
  const std::vector<Shot> merged = twice.Shots();
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[1].camera, 2);
  // The follower is told the shot it has was replaced, and nothing else.
  const CutChange replaced = twice.TakeChange();
  EXPECT_EQ(replaced.shotsFrom, 1u);
  ASSERT_EQ(replaced.shots.size(), 1u);
  EXPECT_EQ(replaced.shots[0].camera, 2);
  const CutChange none = twice.TakeChange();
  EXPECT_EQ(none.shotsFrom, 2u);
  EXPECT_TRUE(none.shots.empty());
}

// Two cameras: camera 0's file starts with the session, camera 1's 2.5 s later.
EditPlan TwoCameraPlan(const std::vector<Shot>& shots, const std::vector<Mark>& marks) {
  const Timecode timecode(36000.0, 25);
  EditFile program{-1, "director", "/s/director.mp4", true, 0.0, 10.0};
  std::vector<EditFile> sources = {{0, "camera0", "/s/camera0.mp4", true, 0.0, 0},
                                   {1, "Stage left", "/s/Stage left.mp4", true, 2.5, 0},
                                   {2, "camera2", "/s/camera2.mp4", false, 0, 0}};
  return PlanEdit(shots, marks, timecode, program, sources);
}

TEST(EditPlanTest, SourceTimesAreEachFilesOwnAndShotsItCannotGiveAreLeftOut) {
  const EditPlan plan = TwoCameraPlan(
      {{0.0, 0}, {2.0, 1}, {3.0, 1}, {4.0, 2}, {6.0, 1}, {8.0, 0}, {12.0, 1}}, {{6.5, "goal"}});
  ASSERT_EQ(plan.events.size(), 3u);
  const int64_t ten = 25 * 36000;
  // Camera 1's file holds nothing before 2.5 s and camera 2 has no file: camera 0 goes on.
  EXPECT_EQ(plan.events[0].camera, 0);
  EXPECT_EQ(plan.events[0].recordIn, ten);
  EXPECT_EQ(plan.events[0].recordOut, ten + 75);
  EXPECT_EQ(plan.events[1].camera, 1);
  EXPECT_EQ(plan.events[1].recordIn, ten + 75);
  // The same moment in camera 1's file, which starts at its own later timecode (its first
  // picture, half a picture off the grid, counts from the nearest): 3.0 s is 0.5 s into it,
  // where its picture 12 is still shown.
  EXPECT_EQ(plan.SourceStart(plan.sources[1]), ten + 63);
  EXPECT_EQ(plan.events[1].sourceIn, ten + 75);
  EXPECT_EQ(plan.events[1].sourceOut, ten + 200);
  EXPECT_EQ(plan.events[2].camera, 0);
  EXPECT_EQ(plan.events[2].recordOut, ten + 250);  // the program's end
  ASSERT_EQ(plan.marks.size(), 1u);
  EXPECT_EQ(plan.marks[0].record, ten + 163);
}

TEST(EdlWriterTest, TheListIsStrictCmx3600WithReelsClipNamesAndLocators) {
  const EditPlan plan =
      TwoCameraPlan({{0.0, 0}, {4.0, 1}, {8.0, 0}}, {{0.2, "start"}, {6.5, "goal\nline"}});
  const std::string text = EdlTexts(plan, "session director").at(0);
  const CmxList list = ReadCmx3600(text, 25);
  for (const std::string& error : list.errors)
    ADD_FAILURE() << error;
  ASSERT_EQ(list.events.size(), 3u);
  EXPECT_EQ(list.title, "session director");
  EXPECT_EQ(list.events[1].reel, "CAM1");
  EXPECT_EQ(list.events[1].comments[0], "FROM CLIP NAME: Stage left.mp4");
  EXPECT_EQ(list.events[0].comments[1], "LOC: 10:00:00:05 YELLOW  start");
  EXPECT_EQ(list.events[1].comments[1], "LOC: 10:00:06:13 YELLOW  goal line");
  EXPECT_EQ(ReelName(15), "CAM15");

  // The reader is strict: it finds what is wrong with a broken list.
  std::string broken = text;
  broken.replace(broken.find("002  CAM1    "), 13, "003  CAMERA01");
  EXPECT_GE(ReadCmx3600(broken, 25).errors.size(), 2u);
}

TEST(OtioWriterTest, OneVideoTrackOfClipsReferencingTheCameraFilesWithGapsAndMarkers) {
  // Camera 2 has no file: the program shows nothing the files hold until 4 s.
  const EditPlan plan = TwoCameraPlan({{0.0, 2}, {4.0, 1}, {8.0, 0}}, {{6.5, "goal"}});
  const nlohmann::json timeline = nlohmann::json::parse(OtioText(plan, "show"));
  EXPECT_EQ(timeline["name"], "show");
  const nlohmann::json& track = timeline["tracks"]["children"][0];
  ASSERT_EQ(track["children"].size(), 3u);
  EXPECT_EQ(track["children"][0]["OTIO_SCHEMA"], "Gap.1");
  EXPECT_EQ(track["children"][0]["source_range"]["duration"]["value"], 100.0);
  const nlohmann::json& clip = track["children"][1];
  EXPECT_EQ(clip["OTIO_SCHEMA"], "Clip.2");
  EXPECT_EQ(clip["name"], "Stage left");
  const nlohmann::json& reference = clip["media_references"]["DEFAULT_MEDIA"];
  EXPECT_EQ(reference["target_url"], "file:///s/Stage%20left.mp4");
  EXPECT_EQ(reference["available_range"]["start_time"]["value"], 25.0 * 36000 + 63);
  EXPECT_EQ(clip["source_range"]["start_time"]["value"], 25.0 * 36000 + 100);
  EXPECT_EQ(clip["source_range"]["duration"]["value"], 100.0);
  ASSERT_EQ(track["markers"].size(), 1u);
  EXPECT_EQ(track["markers"][0]["marked_range"]["start_time"]["value"], 163.0);
}

// A session started at 23:59:57: camera 1's file starts at 23:59:59:13 and, its first
// picture off the grid, shows each moment one picture of its timecode earlier than the
// program, so its midnight comes a picture after the program's. The sound begins at
// 23:59:57:15.
EditPlan MidnightPlan() {
  const Timecode timecode(86397.0, 25);
  EditFile program{-1, "director", "/s/director.mp4", true, 0.0, 10.0};
  std::vector<EditFile> sources = {{0, "camera0", "/s/camera0.mp4", true, 0.0, 0},
                                   {1, "camera1", "/s/camera1.mp4", true, 2.53, 0}};
  return PlanEdit({{0.03, 0}, {2.8, 1}, {8.0, 0}}, {{4.0, std::string("mid\0night\x7f", 11)}},
                  timecode, program, sources, {-1, "sound", "/s/sound.wav", true, 0.6, 0, 2});
}

TEST(EditPlanTest, ASessionAcrossMidnightKeepsEachFilesTimecodeInOrder) {
  const EditPlan plan = MidnightPlan();
  const int64_t day = 25 * 86400;
  ASSERT_EQ(plan.events.size(), 3u);
  // The first shot from the program's first picture, 23:59:57:00.
  EXPECT_EQ(plan.events[0].recordIn, day - 75);
  EXPECT_EQ(plan.events[1].recordIn, day - 5);
  EXPECT_EQ(plan.events[1].sourceIn, day - 6);
  EXPECT_EQ(plan.events[2].recordOut, day + 175);  // no wrap

  // The lists: the program's midnight starts director-2.edl, and camera 1's shot is cut at
  // both midnights, so that no out point comes before its in point.
  const std::vector<std::string> texts = EdlTexts(plan, "show");
  ASSERT_EQ(texts.size(), 2u);
  std::vector<CmxEvent> events;
  std::vector<CmxEvent> sound;
  for (const std::string& text : texts) {
    const CmxList list = ReadCmx3600(text, 25);
    for (const std::string& error : list.errors)
      ADD_FAILURE() << error << "\n" << text;
    for (const CmxEvent& event : list.events)
      (event.channels == "V" ? events : sound).push_back(event);
  }
  ASSERT_EQ(events.size(), 5u);
  // The sound under each list, from its first sample on, cut at midnight like the shots.
  ASSERT_EQ(sound.size(), 2u);
  EXPECT_EQ(sound[0].number, 3);
  EXPECT_EQ(sound[0].reel, "SOUND");
  EXPECT_EQ(sound[0].channels, "AA");
  EXPECT_EQ(sound[0].comments.at(0), "FROM CLIP NAME: sound.wav");
  EXPECT_EQ(sound[0].recordIn, day - 60);
  EXPECT_EQ(sound[0].sourceIn, day - 60);
  EXPECT_EQ(sound[0].recordOut, day);
  EXPECT_EQ(sound[1].number, 4);
  EXPECT_EQ(sound[1].sourceIn, 0);
  EXPECT_EQ(sound[1].recordOut, 175);
  EXPECT_EQ(texts[0].substr(0, texts[0].find('\r')), "TITLE: show");
  EXPECT_EQ(events[0].recordIn, day - 75);
  EXPECT_EQ(events[1].recordOut, day);  // 24:00:00:00
  EXPECT_EQ(events[2].number, 1);
  EXPECT_EQ(events[2].recordIn, 0);
  EXPECT_EQ(events[2].recordOut, 1);
  EXPECT_EQ(events[2].sourceOut, day);
  EXPECT_EQ(events[3].sourceIn, 0);
  int64_t pictures = 0;
  for (const CmxEvent& event : events)
    pictures += event.recordOut - event.recordIn;
  EXPECT_EQ(pictures, 250);
  // The mark's label, printable, in the list after midnight.
  EXPECT_NE(texts[1].find("* LOC: 00:00:01:00 YELLOW  mid night "), std::string::npos);

  // The document counts on past midnight, each file from its own first timecode.
  const nlohmann::json track =
      nlohmann::json::parse(OtioText(plan, "show"))["tracks"]["children"][0];
  ASSERT_EQ(track["children"].size(), 3u);
  EXPECT_EQ(track["children"][0]["OTIO_SCHEMA"], "Clip.2");
  EXPECT_EQ(track["children"][1]["source_range"]["start_time"]["value"], day - 6.0);
  EXPECT_EQ(track["children"][1]["media_references"]["DEFAULT_MEDIA"]["available_range"]
                 ["start_time"]["value"],
            day - 12.0);
  const nlohmann::json audio =
      nlohmann::json::parse(OtioText(plan, "show"))["tracks"]["children"][1];
  EXPECT_EQ(audio["kind"], "Audio");
  ASSERT_EQ(audio["children"].size(), 2u);
  EXPECT_EQ(audio["children"][0]["source_range"]["duration"]["value"], 15.0);
  EXPECT_EQ(audio["children"][1]["source_range"]["start_time"]["value"], day - 60.0);
  EXPECT_EQ(audio["children"][1]["source_range"]["duration"]["value"], 235.0);
  EXPECT_EQ(audio["children"][1]["media_references"]["DEFAULT_MEDIA"]["target_url"],
            "file:///s/sound.wav");
}

TEST(EdlWriterTest, ListsGoOnInFurtherFilesAfter999Events) {
  const Timecode timecode(36000.0, 25);
  EditFile program{-1, "director", "/s/director.mp4", true, 0.0, 60.0};
  std::vector<EditFile> sources = {{0, "camera0", "/s/camera0.mp4", true, 0.0, 0},
                                   {1, "camera1", "/s/camera1.mp4", true, 0.0, 0}};
  std::vector<Shot> shots;
  for (int i = 0; i < 1500; ++i)
    shots.push_back({i * 0.04, i % 2});
  // The sound's event takes a number in each list.
  const std::vector<std::string> texts = EdlTexts(
      PlanEdit(shots, {}, timecode, program, sources, {-1, "sound", "/s/s.wav", true, 0, 0, 1}),
      "show");
  ASSERT_EQ(texts.size(), 2u);
  const CmxList first = ReadCmx3600(texts[0], 25);
  const CmxList second = ReadCmx3600(texts[1], 25);
  EXPECT_TRUE(first.errors.empty() && second.errors.empty()) << texts[1].substr(0, 400);
  ASSERT_EQ(first.events.size(), 999u);
  ASSERT_EQ(second.events.size(), 503u);
  EXPECT_EQ(first.events.back().channels, "A");
  EXPECT_EQ(first.events.back().recordOut, first.events[997].recordOut);
  EXPECT_EQ(second.events.back().recordIn, first.events.back().recordOut);
  EXPECT_EQ(second.title, "show (2)");
  EXPECT_EQ(second.events[0].number, 1);
  EXPECT_EQ(second.events[0].recordIn, first.events[997].recordOut);
  EXPECT_EQ(EdlPath("/s/director.edl", 1), "/s/director-2.edl");
}

TEST(CutListTest, MarkLabelsArePrintable) {
  EXPECT_EQ(PrintableText(std::string("a\0b\x01\x1b\x7f", 6)), "a b   ");
  // C1 controls and bytes that are no UTF-8; letters of any script stay.
  EXPECT_EQ(PrintableText("\xc2\x85x\xff\xc3\xa9\xe5\xaf\xbc\xed\xa0\x80"),
            " x \xc3\xa9\xe5\xaf\xbc   ");
  CutList cut;
  cut.AddMark(1.0, std::string("goal\0\r\n", 7));
  EXPECT_EQ(cut.Marks()[0].label, "goal   ");
}

TEST(EditListCheckTest, TheSummaryCallsGoodOnlyTheListsEditorsRead) {
  TestAppDir dir;
  std::string text = EdlTexts(TwoCameraPlan({{0.0, 0}, {4.0, 1}}, {}), "s").at(0);
  dir.WriteFile("good.edl", text);
  // A four-digit event number shifts every column after it.
  text.replace(text.find("002  CAM1"), 9, "1000 CAM1");
  dir.WriteFile("bad.edl", text);
  dir.WriteFile("bad.otio", R"({"OTIO_SCHEMA": "Timeline.1", "tracks": )");
  auto check = [&](const std::string& name) {
    return CheckFiles({{OutputFile::Kind::kEditList, dir.File(name), "director"}}, 0, 0, 25,
                      [] { return false; })[0];
  };
  EXPECT_TRUE(check("good.edl").good) << check("good.edl").problem;
  EXPECT_NE(check("bad.edl").problem.find("CMX 3600"), std::string::npos);
  EXPECT_FALSE(check("bad.otio").good);
}

TEST(CutJournalTest, ReadsBackWhatWasJournaledAndLeavesOutALineAKillCutShort) {
  TestAppDir dir;
  {
    CutJournal journal;
    std::string error;
    ASSERT_TRUE(journal.Open(
        dir.File("d.cut"), "show", Timecode(3600, 25), {-1, "director", dir.File("d.mp4")},
        {{0, "Stage\tleft", dir.File("c0.mp4")}}, {-1, "sound", dir.File("s.wav"), false, 0, 0, 2},
        {{CutJournal::kProgram, [](double* origin) { return *origin = 0.5, true; }},
         {CutJournal::kSound, [](double* origin) { return *origin = 0.25, true; }}},
        &error))
        << error;
    journal.Switch(1.0, 0);
    journal.Mark(2.0, std::string("a\0b", 3));
  }
  std::ofstream(dir.File("d.cut"), std::ios::app) << "garbage\nswitch\t2.5\t9e99\nswitch\t3.0\t";
  JournalContents contents;
  std::string error;
  ASSERT_TRUE(ReadCutJournal(dir.File("d.cut"), &contents, &error)) << error;
  EXPECT_EQ(contents.damagedLines, 2);
  EXPECT_EQ(contents.title, "show");
  EXPECT_EQ(contents.timecode.startOfDay(), 3600.0);
  EXPECT_TRUE(contents.program.started);
  EXPECT_EQ(contents.program.origin, 0.5);
  ASSERT_EQ(contents.cameras.size(), 1u);
  EXPECT_EQ(contents.cameras[0].name, "Stage left");
  EXPECT_TRUE(contents.sound.started);
  EXPECT_EQ(contents.sound.origin, 0.25);
  EXPECT_EQ(contents.sound.channels, 2);
  EXPECT_EQ(contents.sound.path, dir.File("s.wav"));
  EXPECT_EQ(contents.cut.Shots().size(), 1u);
  EXPECT_EQ(contents.cut.Marks().at(0).label, "a b");
}

TEST(ChapterTitlesTest, EachShotIsTitledWithItsCameraAndTheMarksMadeDuringIt) {
  const Timecode timecode(0, 25);
  const std::vector<Chapter> chapters =
      ChapterTitles({{0.04, 0}, {2.0, 1}}, {{0.0, "a"}, {2.04, ""}, {3.0, "b"}},
                    {"camera0", "Stage"}, timecode, 0.0);
  ASSERT_EQ(chapters.size(), 2u);
  // The first shot from the program's first picture, as the edit lists give it.
  EXPECT_EQ(chapters[0].time, 0.0);
  EXPECT_EQ(chapters[0].title, "camera0 | mark 00:00:00:00 a");
  EXPECT_EQ(chapters[1].title, "Stage | mark 00:00:02:01 | mark 00:00:03:00 b");
}

TEST(NameTemplateTest, NamesEveryFileAndRefusesTemplatesThatCannot) {
  RecordOptions options;
  EXPECT_EQ(options.FileName("s", "camera0"), "camera0.mp4");
  options.nameTemplate = "{session}_{camera}.mp4";
  EXPECT_EQ(options.FileName("2024", "director"), "2024_director.mp4");
  EXPECT_EQ(options.FileName("2024", "sound"), "2024_sound.wav");
  EXPECT_EQ(CheckNameTemplate("{session}_{camera}.mp4"), "");
  EXPECT_NE(CheckNameTemplate("{session}.mp4"), "");
  EXPECT_NE(CheckNameTemplate("{camera}.mov"), "");
  EXPECT_NE(CheckNameTemplate("a/{camera}.mp4"), "");
  EXPECT_NE(CheckNameTemplate("{camera}{take}.mp4"), "");
  EXPECT_NE(CheckNameTemplate(".mp4"), "");
}

TEST(CameraNameTest, ANameMustNameAFileOfItsOwn) {
  using sorvo::tools::CameraSpec;
  CameraSpec spec;
  std::string error;
  // A source may hold commas, and what is no name stays the source's.
  const std::string filter = "lavfi:color=red,drawtext=text=name=x y";
  ASSERT_TRUE(CameraSpec::Parse(filter, &spec, &error));
  EXPECT_EQ(spec.source, filter);
  EXPECT_EQ(spec.name, "");
  // A name names the camera's file: it cannot lead out of the folder or hide the file.
  for (const std::string bad : {"test,name=../up", "test,name=a/b", "test,name=.hidden"})
    EXPECT_FALSE(CameraSpec::Parse(bad, &spec, &error)) << bad;

  EXPECT_EQ(CheckCameraNames({"test,name=Stage", "test:160x120"}), "");
  EXPECT_NE(CheckCameraNames({"test,name=A", "test,name=A"}), "");
  EXPECT_NE(CheckCameraNames({"test", "test,name=camera0"}), "");
  EXPECT_NE(CheckCameraNames({"test,name=director"}), "");
  EXPECT_NE(CheckCameraNames({"test,name=sound"}), "");
}

}  // namespace
