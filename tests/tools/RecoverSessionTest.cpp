// sorvo-recover on the files of a real sorvo-record session: every MP4 as a kill would
// have left it (fragments, the last one cut short), the multi-stream file with its cameras
// and its sound, and the WAV file with the sizes a kill leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "RecoverTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;

std::vector<int> Sizes(const std::vector<ProbedPacket>& packets) {
  std::vector<int> sizes;
  for (const ProbedPacket& packet : packets)
    sizes.push_back(packet.size);
  return sizes;
}

// One clean two-second session, shared by the tests: two cameras of different sizes, the
// director, the sound, and every sink's raw stream; its MP4 files stay fragmented, as a
// recording killed while writing them leaves them.
class RecoverSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir;
    const int base = FreePortBase(10);
    ASSERT_GT(base, 0);
    const ToolResult run =
        RunTool(kRecordProgram,
                {"--seconds", "2", "--fps", "25", "--camera", "test:160x120", "--camera",
                 "test:176x144:yuv420p", "--director", "320x180", "--ports", std::to_string(base),
                 "--out", s_dir->File("session"), "--save-stream", "--fragmented-mp4"},
                s_dir->path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }

  static std::string Session(const std::string& name) { return s_dir->File("session/" + name); }

  TestAppDir dir;
  static TestAppDir* s_dir;
};

TestAppDir* RecoverSessionTest::s_dir = nullptr;

TEST_F(RecoverSessionTest, EveryKilledMp4ComesBackPictureForPictureWithItsSound) {
  for (const char* name : {"camera0.mp4", "camera1.mp4", "director.mp4", "导播多流.mp4"}) {
    SCOPED_TRACE(name);
    const std::string original = Session(name);
    const ProbedFile whole = ProbeFile(original);
    ASSERT_TRUE(whole.opened);
    ASSERT_FALSE(whole.packets.empty());
    // The pictures and the sound come first; a timecode track follows, which the rescue
    // makes anew.
    size_t media = 0;
    while (media < whole.streams.size() && (whole.streams[media].mediaType == AVMEDIA_TYPE_VIDEO ||
                                            whole.streams[media].mediaType == AVMEDIA_TYPE_AUDIO))
      ++media;
    // The kill came in the middle of the last fragment: every packet before it must come
    // back whole, in its stream, in order, at its time.
    size_t lastFragment = 0;
    const std::string killedBytes = KilledCopy(ReadWholeFile(original), &lastFragment);
    ASSERT_FALSE(killedBytes.empty());
    dir.WriteFile(std::string("killed_") + name, killedBytes);
    const std::string rebuilt = dir.File(std::string("rebuilt_") + name);
    const ToolResult run = RunTool(
        kRecoverProgram, {dir.File(std::string("killed_") + name), "-o", rebuilt}, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("a fragmented MP4"), std::string::npos) << run.out;

    const ProbedFile file = ProbeFile(rebuilt);
    ASSERT_TRUE(file.opened);
    ASSERT_EQ(file.streams.size(), whole.streams.size());
    for (size_t i = 0; i < media; ++i) {
      std::vector<ProbedPacket> expected;
      for (const ProbedPacket& packet : whole.PacketsOf(static_cast<int>(i)))
        if (packet.pos < static_cast<int64_t>(lastFragment))
          expected.push_back(packet);
      ASSERT_FALSE(expected.empty()) << i;
      const std::vector<ProbedPacket> got = file.PacketsOf(static_cast<int>(i));
      EXPECT_EQ(file.streams[i].codecId, whole.streams[i].codecId) << i;
      EXPECT_EQ(file.streams[i].width, whole.streams[i].width) << i;
      EXPECT_EQ(Sizes(got), Sizes(expected)) << i;
      ASSERT_FALSE(got.empty()) << i;
      EXPECT_NEAR(got.back().ptsSeconds, expected.back().ptsSeconds, 1e-3) << i;
      if (file.streams[i].codecId == AV_CODEC_ID_MPEG4) {
        EXPECT_EQ(file.streams[i].decodedFrames, static_cast<int>(expected.size())) << i;
      }
    }
    // The stream headers in the new index are the ones the library wrote.
    EXPECT_EQ(EsdsDecoderInfos(rebuilt), EsdsDecoderInfos(original));
    // A regular file: its index at the end, no fragment.
    EXPECT_EQ(CountBoxes(TopLevelBoxes(rebuilt), "moof"), 0);

    const FfprobeCount count = CountFramesWithFfprobe(rebuilt, dir.path());
    ASSERT_TRUE(count.ran);
    EXPECT_EQ(count.errors, "");
  }
}

TEST_F(RecoverSessionTest, AWholeFragmentedMp4IsMadeRegularAndARegularOneIsRefused) {
  const std::string original = Session("camera0.mp4");
  ToolResult run = RunTool(kRecoverProgram, {original, "-o", dir.File("regular.mp4")}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ProbeFile(dir.File("regular.mp4")).PacketsOf(0).size(),
            ProbeFile(original).PacketsOf(0).size());
  run = RunTool(kRecoverProgram, {dir.File("regular.mp4")}, dir.path());
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("complete MP4"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir.File("regular.mp4.recovered.mp4")));
}

TEST_F(RecoverSessionTest, AWavWithTheSizesAKillLeavesIsRepairedToANewFileOrInPlace) {
  const std::string original = Session("sound.wav");
  const WaveRead whole = ReadWithPythonWave(original, dir.path());
  ASSERT_TRUE(whole.opened) << whole.error;
  ASSERT_GT(whole.frames, 44100);

  // A WAV is a WAV, not a raw stream; one whose sizes are right needs no repair.
  ToolResult run = RunTool(kRecoverProgram, {original, "-o", dir.File("copy.wav")}, dir.path());
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("WAV file"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("nothing to repair"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(dir.File("copy.wav")));

  // The header a kill used to leave: RIFF size 0, data size 16, and half a sample frame
  // after the last whole one.
  std::string bytes = ReadWholeFile(original) + "\x01\x02";
  const size_t data = bytes.find("data");
  ASSERT_NE(data, std::string::npos);
  bytes.replace(4, 4, std::string("\0\0\0\0", 4));
  bytes.replace(data + 4, 4, std::string("\x10\0\0\0", 4));
  dir.WriteFile("killed.wav", bytes);
  ASSERT_FALSE(ReadWithPythonWave(dir.File("killed.wav"), dir.path()).opened);

  run = RunTool(kRecoverProgram, {dir.File("killed.wav")}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const WaveRead repaired = ReadWithPythonWave(dir.File("killed.wav.recovered.wav"), dir.path());
  ASSERT_TRUE(repaired.opened) << repaired.error;
  EXPECT_EQ(repaired.channels, whole.channels);
  EXPECT_EQ(repaired.rate, whole.rate);
  EXPECT_EQ(repaired.frames, whole.frames);
  // Only a copy was written: the killed file is as it was.
  EXPECT_EQ(ReadWholeFile(dir.File("killed.wav")), bytes);

  run = RunTool(kRecoverProgram, {dir.File("killed.wav"), "--in-place"}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const WaveRead inPlace = ReadWithPythonWave(dir.File("killed.wav"), dir.path());
  ASSERT_TRUE(inPlace.opened) << inPlace.error;
  EXPECT_EQ(inPlace.frames, whole.frames);
  EXPECT_EQ(fs::file_size(dir.File("killed.wav")), bytes.size());
}

}  // namespace
