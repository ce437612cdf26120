// The recorder's bounded check at the end of a session and sorvo-recover --check, on one
// recorded session: copies of its camera file damaged where the bounded check looks (the
// last GOP, a key frame the spread reaches) and where only the full check does, and one
// whose index counts fewer pictures than were written.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/TestAppDir.h"
#include "tools/common/MediaReadBack.h"
#include "tools/record/SessionSummary.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;
using namespace sorvo::tools;

struct Sample {
  int64_t pos;
  int size;
  double seconds;
  bool key;
};

// The pictures of a file's first stream as its index places them.
std::vector<Sample> PictureSamples(const std::string& path) {
  std::vector<Sample> samples;
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
    return samples;
  AVStream* stream = input->streams[0];
  for (int i = 0; i < avformat_index_get_entries_count(stream); ++i) {
    const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
    samples.push_back({entry->pos, entry->size, entry->timestamp * av_q2d(stream->time_base),
                       (entry->flags & AVINDEX_KEYFRAME) != 0});
  }
  avformat_close_input(&input);
  return samples;
}

class ReadBackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TestAppDir>();
    const int base = FreePortBase(10);
    ASSERT_GT(base, 0);
    // Five GOPs of a second: a first, a last and three the spread can reach.
    recorded = RunTool(kRecordProgram,
                       {"--seconds", "5", "--fps", "10", "--camera", "test:320x240:bgr24",
                        "--ports", std::to_string(base), "--out", dir->File("session"), "--json",
                        dir->File("summary.json"), "--no-console"},
                       dir->path());
    camera = dir->File("session/camera0.mp4");
    samples = PictureSamples(camera);
  }
  static void TearDownTestSuite() { dir.reset(); }

  // A copy of the camera file with `bytes` of noise in the middle of picture `index`.
  static std::string Damaged(size_t index, const std::string& name) {
    const std::string copy = dir->File(name);
    fs::create_directories(fs::path(copy).parent_path());
    fs::copy_file(camera, copy, fs::copy_options::overwrite_existing);
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(samples[index].pos + samples[index].size / 3);
    const std::string noise = "\x5a\xa5\xff\x00\x3c\xc3\x0f\xf0\x5a\xa5\xff\x00\x3c\xc3\x0f\xf0";
    for (int i = 0; i < 4; ++i)
      file.write(noise.data(), 16);
    return copy;
  }

  static std::unique_ptr<TestAppDir> dir;
  static ToolResult recorded;
  static std::string camera;
  static std::vector<Sample> samples;
};

std::unique_ptr<TestAppDir> ReadBackTest::dir;
ToolResult ReadBackTest::recorded;
std::string ReadBackTest::camera;
std::vector<Sample> ReadBackTest::samples;

TEST_F(ReadBackTest, ACleanSessionIsGoodWithTheBoundedCheckAndSaysHowLongItTook) {
  ASSERT_EQ(recorded.exitCode, 0) << recorded.out << recorded.err;
  EXPECT_NE(recorded.out.find("Every file is good. Read back in"), std::string::npos)
      << recorded.out;
  const std::string json = ReadWholeFile(dir->File("summary.json"));
  EXPECT_NE(json.find("\"check\": \"bounded\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"checkSeconds\""), std::string::npos);
  const FileReadBack file = ReadBack(camera, nullptr, ReadDepth::kBounded);
  EXPECT_EQ(file.Problem(), "");
  ASSERT_GE(samples.size(), 45u);
  EXPECT_EQ(file.streams[0].frames, static_cast<long long>(samples.size()));
}

TEST_F(ReadBackTest, DamageInTheLastGopOrInAKeyFrameTheSpreadReachesIsFound) {
  ASSERT_GE(samples.size(), 45u);
  const std::vector<double> spread = SpreadTimes(samples.front().seconds, 4.0);
  size_t middleKey = 0;
  for (size_t i = 0; i < samples.size(); ++i)
    if (samples[i].key && samples[i].seconds > 1.5 && samples[i].seconds <= spread[9])
      middleKey = i;
  ASSERT_GT(middleKey, 0u);
  for (size_t index : {samples.size() - 1, middleKey}) {
    const std::string copy = Damaged(index, "damaged" + std::to_string(index) + ".mp4");
    const FileReadBack bounded = ReadBack(copy, nullptr, ReadDepth::kBounded);
    EXPECT_NE(bounded.Problem().find("did not decode cleanly"), std::string::npos)
        << "picture " << index << ": " << bounded.Problem();
  }
}

TEST_F(ReadBackTest, AnIndexCountingFewerPicturesThanTheSinkMadeIsFound) {
  ASSERT_GE(samples.size(), 45u);
  // The picture sizes' table says five pictures fewer.
  const std::string copy = dir->File("short-index.mp4");
  fs::copy_file(camera, copy, fs::copy_options::overwrite_existing);
  std::string bytes = ReadWholeFile(copy);
  const size_t stsz = bytes.find("stsz");
  ASSERT_NE(stsz, std::string::npos);
  const uint32_t fewer = static_cast<uint32_t>(samples.size() - 5);
  for (int i = 0; i < 4; ++i)
    bytes[stsz + 12 + i] = static_cast<char>(fewer >> (24 - 8 * i));
  std::ofstream(copy, std::ios::binary) << bytes;

  std::vector<FileCheck> checks(1);
  checks[0].file = {OutputFile::Kind::kCameraMp4, copy, "camera0"};
  checks[0].media = ReadBack(copy, nullptr, ReadDepth::kBounded);
  checks[0].good = checks[0].media.Good();
  SinkStatus sink;
  sink.name = "camera0";
  sink.packets = static_cast<long long>(samples.size());
  sink.final = true;
  MarkIncompleteFiles(&checks, {sink});
  EXPECT_FALSE(checks[0].good);
  EXPECT_NE(checks[0].problem.find("pictures its sink made"), std::string::npos)
      << checks[0].problem;
}

TEST_F(ReadBackTest, RecoverCheckDecodesEveryPictureAndFindsDamageAnywhere) {
  const ToolResult clean = RunTool(kRecoverProgram, {"--check", dir->File("session")}, dir->path());
  EXPECT_EQ(clean.exitCode, 0) << clean.out << clean.err;
  EXPECT_NE(clean.out.find("Every file is good."), std::string::npos) << clean.out;
  // A picture inside the second GOP, which only a full decode is sure to reach.
  const std::string copy = Damaged(13, "anywhere/camera0.mp4");
  const ToolResult damaged =
      RunTool(kRecoverProgram, {"--check", dir->File("anywhere")}, dir->path());
  EXPECT_EQ(damaged.exitCode, 1) << damaged.out << damaged.err;
  EXPECT_NE(damaged.out.find("video pictures did not decode cleanly"), std::string::npos)
      << damaged.out;
}

}  // namespace
