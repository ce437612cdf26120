// sorvo-record on a small file system of its own (a tmpfs mounted in a user namespace):
// refused when the free space cannot last the session; with --force it records, and as the
// disk nears full it gives up the multi-stream file, then the stream files, while every
// camera's MP4, the director's and the sound go on to the end. The watch's slope and
// warnings are also checked on readings the test makes up.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
}

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "tools/record/disk/DiskWatch.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;
using namespace sorvo::tools;
using boost::property_tree::ptree;

constexpr char kUnshare[] = "/usr/bin/unshare";
constexpr double kSeconds = 12;

// Runs `args` in a new user and mount namespace, with a tmpfs of `megabytes` mounted on
// `mount` and the library's application directory inside it; what was written there is
// copied to `keep` before the namespace, and the tmpfs with it, goes away. Exit 97: the
// tmpfs could not be mounted.
ToolResult OnTmpfs(const std::string& mount,
                   int megabytes,
                   const std::string& keep,
                   const std::vector<std::string>& args) {
  const std::string script = "mount -t tmpfs -o size=" + std::to_string(megabytes) +
                             "M tmpfs \"$0\" || exit 97; mkdir \"$0/app\"; "
                             "SORVO_APP_DIR=\"$0/app\" \"$@\"; code=$?; "
                             "cp -a \"$0/.\" \"" +
                             keep + "/\"; exit $code";
  std::vector<std::string> all = {"-rm", "sh", "-c", script, mount};
  all.insert(all.end(), args.begin(), args.end());
  return RunTool(kUnshare, all, keep);
}

class DiskSpaceRecordTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TestAppDir;
    s_mount = s_dir->File("mnt");
    fs::create_directories(s_mount);
    const std::string probe = s_dir->File("probe");
    fs::create_directories(probe);
    s_usable = OnTmpfs(s_mount, 1, probe, {"true"}).exitCode == 0;
    if (!s_usable)
      return;
    // Two small cameras at a high bit rate fill the disk quickly; the stream files and the
    // multi-stream file copy their pictures.
    std::vector<std::string> args = {kRecordProgram,
                                     "--camera",
                                     "test:320x240",
                                     "--camera",
                                     "test:320x240",
                                     "--director",
                                     "320x240",
                                     "--bitrate",
                                     "4000000",
                                     "--seconds",
                                     std::to_string(kSeconds),
                                     "--private-stream",
                                     "--save-stream",
                                     "--no-console",
                                     "--ports",
                                     std::to_string(FreePortBase(11)),
                                     "--out",
                                     s_mount + "/session"};
    s_refusedKeep = s_dir->File("refused");
    fs::create_directories(s_refusedKeep);
    s_refused = OnTmpfs(s_mount, kMegabytes, s_refusedKeep, args);
    s_keep = s_dir->File("forced");
    fs::create_directories(s_keep);
    args.insert(args.end(), {"--force", "--json", s_keep + "/summary.json"});
    s_forced = OnTmpfs(s_mount, kMegabytes, s_keep, args);
    std::ifstream json(s_keep + "/summary.json");
    if (json) {
      read_json(json, s_summary);
      for (const auto& [key, file] : s_summary.get_child("files"))
        s_files[file.get<std::string>("kind")].push_back(file);
    }
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(s_usable) << "a tmpfs cannot be mounted in a user namespace here (" << kUnshare
                          << " -rm with mount -t tmpfs): this test needs unprivileged user "
                             "namespaces or root";
  }

  // The session's own files: recorded on the tmpfs, copied out of it.
  static std::string Kept(const std::string& path) { return s_keep + path.substr(s_mount.size()); }

  static constexpr int kMegabytes = 16;
  static TestAppDir* s_dir;
  static std::string s_mount;
  static std::string s_refusedKeep;
  static std::string s_keep;
  static bool s_usable;
  static ToolResult s_refused;
  static ToolResult s_forced;
  static ptree s_summary;
  static std::map<std::string, std::vector<ptree>> s_files;  // by kind
};

TestAppDir* DiskSpaceRecordTest::s_dir = nullptr;
std::string DiskSpaceRecordTest::s_mount;
std::string DiskSpaceRecordTest::s_refusedKeep;
std::string DiskSpaceRecordTest::s_keep;
bool DiskSpaceRecordTest::s_usable = false;
ToolResult DiskSpaceRecordTest::s_refused;
ToolResult DiskSpaceRecordTest::s_forced;
ptree DiskSpaceRecordTest::s_summary;
std::map<std::string, std::vector<ptree>> DiskSpaceRecordTest::s_files;

TEST_F(DiskSpaceRecordTest, RefusedWhenTheFreeSpaceCannotLastTheSession) {
  EXPECT_EQ(s_refused.exitCode, 1) << s_refused.out << s_refused.err;
  EXPECT_NE(s_refused.err.find("not enough free space"), std::string::npos) << s_refused.err;
  EXPECT_NE(s_refused.err.find(s_mount), std::string::npos) << s_refused.err;
  EXPECT_NE(s_refused.err.find("--force"), std::string::npos) << s_refused.err;
  EXPECT_FALSE(fs::exists(s_refusedKeep + "/session")) << "nothing may be written";
}

TEST_F(DiskSpaceRecordTest, ForcedItWarnsAndGivesUpTheCopiesFirst) {
  EXPECT_EQ(s_forced.exitCode, 0) << s_forced.out << s_forced.err;
  const std::string& out = s_forced.out;
  EXPECT_NE(out.find("free space: "), std::string::npos) << out;
  EXPECT_NE(out.find("note: --force: not enough free space"), std::string::npos) << out;
  // Both warnings, the multi-stream file given up before the stream files.
  EXPECT_NE(out.find("has less than 30 min 00 s left"), std::string::npos) << out;
  EXPECT_NE(out.find("has less than 10 min 00 s left"), std::string::npos) << out;
  const size_t multi = out.find("the multi-stream file is stopped");
  const size_t streams = out.find("the stream files are stopped");
  ASSERT_NE(multi, std::string::npos) << out;
  ASSERT_NE(streams, std::string::npos) << out;
  EXPECT_LT(multi, streams);

  ASSERT_EQ(s_files["multi-stream MP4"].size(), 1u);
  const ptree& multiStream = s_files["multi-stream MP4"][0];
  const double multiStopped = multiStream.get<double>("stoppedAt", -1);
  EXPECT_GT(multiStopped, 0);
  EXPECT_LT(multiStopped, kSeconds);
  for (const char* kind : {"private stream", "raw stream"}) {
    ASSERT_FALSE(s_files[kind].empty()) << kind;
    for (const ptree& file : s_files[kind]) {
      EXPECT_GE(file.get<double>("stoppedAt", -1), multiStopped) << kind;
      EXPECT_TRUE(file.get<bool>("good")) << file.get<std::string>("problem");
    }
  }
  // Closed properly: it reads back, up to where it was stopped.
  const ProbedFile probed = ProbeFile(Kept(multiStream.get<std::string>("path")));
  ASSERT_TRUE(probed.opened);
  for (const ProbedStream& stream : probed.streams) {
    if (stream.mediaType != AVMEDIA_TYPE_VIDEO && stream.mediaType != AVMEDIA_TYPE_AUDIO)
      continue;
    EXPECT_EQ(stream.decodeErrors, 0);
    EXPECT_NEAR(stream.endSeconds, multiStopped, 0.5);
  }
}

TEST_F(DiskSpaceRecordTest, TheCamerasTheProgramAndTheSoundGoOnToTheEnd) {
  const double seconds = s_summary.get<double>("seconds", 0);
  EXPECT_NEAR(seconds, kSeconds, 1);
  for (const char* kind : {"camera MP4", "director MP4"}) {
    ASSERT_FALSE(s_files[kind].empty()) << kind;
    for (const ptree& file : s_files[kind]) {
      EXPECT_FALSE(file.get_child_optional("stoppedAt"));
      const ProbedFile probed = ProbeFile(Kept(file.get<std::string>("path")));
      ASSERT_TRUE(probed.opened) << file.get<std::string>("path");
      // Its pictures and sound; a timecode track has no length of its own.
      for (const ProbedStream& stream : probed.streams) {
        if (stream.mediaType != AVMEDIA_TYPE_VIDEO && stream.mediaType != AVMEDIA_TYPE_AUDIO)
          continue;
        EXPECT_EQ(stream.decodeErrors, 0);
        EXPECT_GT(stream.decodedFrames, 0);
        EXPECT_NEAR(stream.endSeconds, seconds, 0.2) << file.get<std::string>("path");
      }
    }
  }
  // The WAV file by its RIFF chunks: its data chunk is whole and lasts the session.
  ASSERT_EQ(s_files["WAV"].size(), 1u);
  std::ifstream wav(Kept(s_files["WAV"][0].get<std::string>("path")), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(wav)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 12u);
  ASSERT_EQ(bytes.compare(0, 4, "RIFF"), 0);
  ASSERT_EQ(bytes.compare(8, 4, "WAVE"), 0);
  uint32_t dataBytes = 0;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      dataBytes = size;
      EXPECT_EQ(at + 8 + size, bytes.size());
      break;
    }
    at += 8 + size + (size & 1);
  }
  EXPECT_NEAR(dataBytes / 176400.0, seconds, 0.2);
}

// Free space read as the test says: the watch measures the fall, not the session's guess.
TEST(DiskWatchTest, SlopeWarningsOnceAndSteps) {
  long long freeBytes = 10'000'000'000;
  DiskNeed need;
  need.folder = "/disk";
  need.space = {7, freeBytes};
  need.outputs = {{"camera", 1'000'000}};
  DiskWatch watch({need}, [&](const std::string&, FreeSpace* space) {
    *space = {7, freeBytes};
    return true;
  });
  // Before two seconds are measured the estimate stands, and nothing is said.
  EXPECT_TRUE(watch.Sample(0).empty());
  EXPECT_FALSE(watch.readings()[0].measured);
  EXPECT_DOUBLE_EQ(watch.readings()[0].bytesPerSecond, 1'000'000);
  // Another writer: 10 MB a second leave 1,000 s, under 30 minutes.
  std::vector<std::string> said;
  for (double t = 1; t <= 10; ++t) {
    freeBytes -= 10'000'000;
    for (const std::string& warning : watch.Sample(t))
      said.push_back(warning);
  }
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("/disk"), std::string::npos);
  EXPECT_NEAR(watch.readings()[0].bytesPerSecond, 10'000'000, 1);
  EXPECT_FALSE(watch.readings()[0].low);
  EXPECT_FALSE(watch.NeedsStep(0));
  // Down to a minute left: the ten-minute warning, and nearly full.
  freeBytes = 600'000'000;
  for (double t = 11; t <= 12; ++t) {
    for (const std::string& warning : watch.Sample(t))
      said.push_back(warning);
    freeBytes -= 10'000'000;
  }
  EXPECT_EQ(said.size(), 2u);
  EXPECT_TRUE(watch.readings()[0].low);
  EXPECT_TRUE(watch.NeedsStep(0));
  // A step waits for the rate to be measured again.
  watch.Stepped(0);
  freeBytes -= 1'000'000;
  watch.Sample(13);
  EXPECT_FALSE(watch.NeedsStep(0));
  // Space freed: no fall, nothing left to count down, and the warnings are armed again.
  freeBytes = 9'000'000'000;
  for (double t = 14; t <= 30; ++t)
    EXPECT_TRUE(watch.Sample(t).empty());
  EXPECT_EQ(watch.readings()[0].secondsLeft, -1);
  for (double t = 31; t <= 40; ++t) {
    freeBytes -= 10'000'000;
    for (const std::string& warning : watch.Sample(t))
      said.push_back(warning);
  }
  EXPECT_EQ(said.size(), 3u);
}

}  // namespace
