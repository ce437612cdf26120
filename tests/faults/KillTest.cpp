// The recorder killed outright (SIGKILL) at a random moment while it records its private
// stream and raw stream files: every record that reached the file must come back through
// sorvo-recover, and the raw stream must hold the same packets.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "FaultTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/PacketHeader.h"
#include "sink/PrivateStreamFrame.h"
#include "sink/SinkTestSupport.h"

namespace {

namespace fs = std::filesystem;
using namespace sorvo::test;

struct Records {
  std::vector<std::string> packets;  // the payloads without their packet headers
  bool cut = false;                  // the file ends inside a record
  bool damaged = false;              // a record that is neither whole nor cut
};

// Reads the records one after the other, as a reader that trusts nothing but the framing.
Records ParseRecords(const std::string& bytes) {
  Records records;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t at = 0;
  while (at < bytes.size()) {
    sorvo::ParsedRecord record;
    const sorvo::ParseResult result = sorvo::ParseRecord(data + at, bytes.size() - at, &record);
    if (result != sorvo::ParseResult::kOk) {
      records.cut = result == sorvo::ParseResult::kNeedMore;
      records.damaged = !records.cut;
      break;
    }
    if (record.payload.size() < sizeof(PacketHeader)) {
      records.damaged = true;
      break;
    }
    records.packets.emplace_back(record.payload.begin(),
                                 record.payload.end() - sizeof(PacketHeader));
    at += record.recordLength;
  }
  return records;
}

long long CountAfter(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern)))
    return -1;
  std::string digits = match[1];
  digits.erase(std::remove(digits.begin(), digits.end(), ','), digits.end());
  return std::stoll(digits);
}

// One camera per size: the private stream files are named by size, the raw streams by
// camera, so that each pair is known.
const char* const kCameras[][2] = {{"test:320x240", "320_240"}, {"test:160x120", "160_120"}};

void KillWhileRecordingAndRecover(std::mt19937& random) {
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--camera", kCameras[0][0], "--camera", kCameras[1][0],
                        "--director", "320x180", "--ports", std::to_string(base), "--out",
                        dir.File("session"), "--private-stream", "--save-stream"},
                       dir.path());
  ASSERT_TRUE(recorder.started());
  // Killed only once each private stream holds a whole record, then at a random moment
  // within the next two seconds.
  ASSERT_TRUE(WaitUntil([&] {
    const std::vector<std::string> files = FilesIn(dir.File("PrivateRawStream"));
    if (files.size() != 2)
      return false;
    for (const std::string& file : files)
      if (ParseRecords(ReadWholeFile(file)).packets.empty())
        return false;
    return true;
  })) << recorder.Stdout()
      << recorder.Stderr();
  const int delay = std::uniform_int_distribution<int>(0, 2000)(random);
  SCOPED_TRACE("killed " + std::to_string(delay) + " ms after the first records");
  std::this_thread::sleep_for(std::chrono::milliseconds(delay));
  recorder.Signal(SIGKILL);
  ASSERT_EQ(recorder.Wait(std::chrono::seconds(30)), 128 + SIGKILL);

  for (const auto& camera : kCameras) {
    const std::string size = camera[1];
    SCOPED_TRACE(size);
    std::string framed;
    for (const std::string& file : FilesIn(dir.File("PrivateRawStream")))
      if (file.find("Sorvo_" + size + "_c0c0_") != std::string::npos)
        framed = file;
    ASSERT_FALSE(framed.empty());
    const Records records = ParseRecords(ReadWholeFile(framed));
    EXPECT_FALSE(records.damaged);

    const std::string rebuilt = dir.File(size + ".mp4");
    const ToolResult recovery = RunTool(kRecoverProgram, {framed, "-o", rebuilt}, dir.path());
    ASSERT_EQ(recovery.exitCode, 0) << recovery.out << recovery.err;
    const long long good = CountAfter(recovery.out, "records: ([0-9,]+) good");
    const long long damaged = CountAfter(recovery.out, "good, ([0-9,]+) damaged");
    EXPECT_EQ(good, static_cast<long long>(records.packets.size())) << recovery.out;
    EXPECT_EQ(damaged, records.cut ? 1 : 0) << recovery.out;
    // The recording opened with a key frame: every record is a picture of the rebuilt file.
    const ProbedFile mp4 = ProbeFile(rebuilt);
    ASSERT_TRUE(mp4.opened);
    ASSERT_EQ(mp4.streams.size(), 1u);
    EXPECT_EQ(mp4.streams[0].decodedFrames, good);
    EXPECT_EQ(mp4.streams[0].decodeErrors, 0);

    // The raw stream got each packet just before the private stream did: it holds the same
    // packets, and at most the one the kill came between.
    const std::string cameraName = std::string("camera") + (size == "320_240" ? "0" : "1");
    std::string raw;
    for (const std::string& file : FilesIn(dir.File("RawStream")))
      if (file.find("Sorvo_" + cameraName + "_") != std::string::npos)
        raw = file;
    ASSERT_FALSE(raw.empty());
    std::string joined;
    for (const std::string& packet : records.packets)
      joined += packet;
    const std::string rawBytes = ReadWholeFile(raw);
    ASSERT_GE(rawBytes.size(), joined.size());
    EXPECT_TRUE(rawBytes.compare(0, joined.size(), joined) == 0);
    EXPECT_LE(rawBytes.size() - joined.size(), 256u * 1024) << "more than one packet beyond";
  }
}

TEST(KillTest, EveryRecordWrittenBeforeASigkillIsRecovered) {
  // SORVO_KILL_SEED repeats a failed run.
  const char* given = std::getenv("SORVO_KILL_SEED");
  const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                         : std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed) + " (SORVO_KILL_SEED=" + std::to_string(seed) +
               " repeats it)");
  std::mt19937 random(seed);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    KillWhileRecordingAndRecover(random);
    if (HasFatalFailure())
      return;
  }
}

// The write(2) calls made by the process's thread named `name`; -1 when there is none.
long long WriteCallsOf(const std::string& name) {
  for (const std::string& task : FilesIn("/proc/self/task")) {
    if (ReadWholeFile(task + "/comm") != name + "\n")
      continue;
    const std::string io = ReadWholeFile(task + "/io");
    const size_t at = io.find("syscw: ");
    if (at != std::string::npos)
      return std::stoll(io.substr(at + 7));
  }
  return -1;
}

// A kill between two writes of one record would cut it: each record goes to the kernel
// whole, in one call, as soon as its packet is made.
TEST(KillTest, EachPrivateStreamRecordReachesTheFileInOneWrite) {
  InitSorvo();
  TestAppDir dir;
  PacketCollector collector;
  auto* sink = new CSorvoSinkFF();
  // Nothing else of the sink writes: no MP4, no server, no raw stream.
  ASSERT_EQ(sink->Create("one", "", 176, 144, PIX_FMT_YUV420P, 25, 400000, 0, 0, 0), 1);
  sink->SetEncodeDataOutputCB(&collector);
  ASSERT_EQ(sink->StartPrivateStream(), 1);
  ASSERT_TRUE(FeedPictures(*sink, collector, 176, 144, 2));
  // The sink's worker encodes and writes.
  const long long before = WriteCallsOf("Pool_one");
  ASSERT_GE(before, 0);
  ASSERT_TRUE(FeedPictures(*sink, collector, 176, 144, 20, 2));
  EXPECT_EQ(WriteCallsOf("Pool_one") - before, 20);
  sink->Close();
  sink->Release();
  const std::vector<std::string> files = FilesIn(dir.File("PrivateRawStream"));
  ASSERT_EQ(files.size(), 1u);
  const Records records = ParseRecords(ReadWholeFile(files[0]));
  EXPECT_EQ(records.packets.size(), 22u);
  EXPECT_FALSE(records.cut || records.damaged);
}

}  // namespace
