// sorvo-record on a small file system of its own (a tmpfs mounted in a user namespace):
// refused when the free space cannot last the session; with --force it records, and as the
// disk nears full it gives up the multi-stream file, then the stream files, while every
// camera's MP4, the director's and the sound go on to the end. The watch's slope and
// warnings are also checked on readings the test makes up.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
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

// The two sessions every test reads: refused, then forced.
struct Sessions {
  TestAppDir dir;
  std::string mount = dir.File("mnt");
  std::string refusedKeep = dir.File("refused");
  std::string keep = dir.File("forced");
  bool usable = false;
  ToolResult refused;
  ToolResult forced;
  ptree summary;
  std::map<std::string, std::vector<ptree>> files;  // by kind

  // The session's own files: recorded on the tmpfs, copied out of it.
  std::string Kept(const std::string& path) const { return keep + path.substr(mount.size()); }
};

class DiskSpaceRecordTest : public testing::Test {
 protected:
  static constexpr int kMegabytes = 16;

  static void SetUpTestSuite() {
    s = new Sessions;
    for (const std::string& folder : {s->mount, s->refusedKeep, s->keep})
      fs::create_directories(folder);
    s->usable = OnTmpfs(s->mount, 1, s->refusedKeep, {"true"}).exitCode == 0;
    if (!s->usable)
      return;
    // Two small cameras at a high bit rate; the stream files and the multi-stream file copy
    // their pictures, and the estimate takes the bit rate at its word.
    std::vector<std::string> args = {kRecordProgram,
                                     "--seconds",
                                     std::to_string(kSeconds),
                                     "--ports",
                                     std::to_string(FreePortBase(11)),
                                     "--out",
                                     s->mount + "/session"};
    std::istringstream rest(
        "--camera test:320x240 --camera test:320x240 --director 320x240 --bitrate 4000000 "
        "--private-stream --save-stream --no-console");
    for (std::string word; rest >> word;)
      args.push_back(word);
    s->refused = OnTmpfs(s->mount, kMegabytes, s->refusedKeep, args);
    args.insert(args.end(), {"--force", "--json", s->keep + "/summary.json"});
    s->forced = OnTmpfs(s->mount, kMegabytes, s->keep, args);
    std::ifstream json(s->keep + "/summary.json");
    if (json) {
      read_json(json, s->summary);
      for (const auto& [key, file] : s->summary.get_child("files"))
        s->files[file.get<std::string>("kind")].push_back(file);
    }
  }
  static void TearDownTestSuite() {
    delete s;
    s = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(s->usable) << "a tmpfs cannot be mounted in a user namespace here (" << kUnshare
                           << " -rm with mount -t tmpfs): this test needs unprivileged user "
                              "namespaces or root";
  }

  static Sessions* s;
};

Sessions* DiskSpaceRecordTest::s = nullptr;

TEST_F(DiskSpaceRecordTest, RefusedWhenTheFreeSpaceCannotLastTheSession) {
  EXPECT_EQ(s->refused.exitCode, 1) << s->refused.out << s->refused.err;
  EXPECT_NE(s->refused.err.find("not enough free space"), std::string::npos) << s->refused.err;
  EXPECT_NE(s->refused.err.find(s->mount), std::string::npos) << s->refused.err;
  EXPECT_NE(s->refused.err.find("--force"), std::string::npos) << s->refused.err;
  EXPECT_FALSE(fs::exists(s->refusedKeep + "/session")) << "nothing may be written";
}

TEST_F(DiskSpaceRecordTest, ForcedItWarnsAndGivesUpTheCopiesFirst) {
  EXPECT_EQ(s->forced.exitCode, 0) << s->forced.out << s->forced.err;
  const std::string& out = s->forced.out;
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

  ASSERT_EQ(s->files["multi-stream MP4"].size(), 1u);
  const ptree& multiStream = s->files["multi-stream MP4"][0];
  const double multiStopped = multiStream.get<double>("stoppedAt", -1);
  EXPECT_GT(multiStopped, 0);
  EXPECT_LT(multiStopped, kSeconds);
  for (const char* kind : {"private stream", "raw stream"}) {
    ASSERT_FALSE(s->files[kind].empty()) << kind;
    for (const ptree& file : s->files[kind]) {
      EXPECT_GE(file.get<double>("stoppedAt", -1), multiStopped) << kind;
      EXPECT_TRUE(file.get<bool>("good")) << file.get<std::string>("problem");
    }
  }
  // Closed properly: it reads back, up to where it was stopped.
  const ProbedFile probed = ProbeFile(s->Kept(multiStream.get<std::string>("path")));
  ASSERT_TRUE(probed.opened);
  for (const ProbedStream& stream : probed.streams) {
    if (stream.mediaType != AVMEDIA_TYPE_VIDEO && stream.mediaType != AVMEDIA_TYPE_AUDIO)
      continue;
    EXPECT_EQ(stream.decodeErrors, 0);
    EXPECT_NEAR(stream.endSeconds, multiStopped, 0.5);
  }
}

TEST_F(DiskSpaceRecordTest, TheCamerasTheProgramAndTheSoundGoOnToTheEnd) {
  const double seconds = s->summary.get<double>("seconds", 0);
  EXPECT_NEAR(seconds, kSeconds, 1);
  for (const char* kind : {"camera MP4", "director MP4", "WAV"}) {
    ASSERT_FALSE(s->files[kind].empty()) << kind;
    for (const ptree& file : s->files[kind]) {
      EXPECT_FALSE(file.get_child_optional("stoppedAt"));
      const ProbedFile probed = ProbeFile(s->Kept(file.get<std::string>("path")));
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
  std::vector<std::string> said;
  // Samples from `from` to `to`, the free space falling `fall` before each.
  auto run = [&](double from, double to, long long fall) {
    for (double t = from; t <= to; ++t) {
      freeBytes -= fall;
      for (const std::string& warning : watch.Sample(t))
        said.push_back(warning);
    }
  };
  // Before two seconds are measured the estimate stands, and nothing is said.
  run(0, 0, 0);
  EXPECT_FALSE(watch.readings()[0].measured);
  EXPECT_DOUBLE_EQ(watch.readings()[0].bytesPerSecond, 1'000'000);
  // Another writer: 10 MB a second leave 1,000 s, under 30 minutes: said once.
  run(1, 10, 10'000'000);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].find("/disk"), std::string::npos);
  EXPECT_NEAR(watch.readings()[0].bytesPerSecond, 10'000'000, 1);
  EXPECT_FALSE(watch.readings()[0].low);
  EXPECT_FALSE(watch.NeedsStep(0));
  // Down to a minute left: the ten-minute warning, and nearly full.
  freeBytes = 610'000'000;
  run(11, 12, 10'000'000);
  EXPECT_EQ(said.size(), 2u);
  EXPECT_TRUE(watch.readings()[0].low);
  EXPECT_TRUE(watch.NeedsStep(0));
  // A step waits for the rate to be measured again.
  watch.Stepped(0);
  run(13, 13, 1'000'000);
  EXPECT_FALSE(watch.NeedsStep(0));
  // Space freed: no fall, nothing to count down, and the warnings are armed again.
  freeBytes = 9'000'000'000;
  run(14, 30, 0);
  EXPECT_EQ(said.size(), 2u);
  EXPECT_EQ(watch.readings()[0].secondsLeft, -1);
  run(31, 40, 10'000'000);
  EXPECT_EQ(said.size(), 3u);
}

}  // namespace
