// sorvo-recover on files a recording sink wrote, whole and damaged, and on anything else a
// user might hand it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/PrivateStreamFrame.h"
#include "sink/SinkTestSupport.h"

namespace {

using namespace sorvo::test;

constexpr int kWidth = 176;
constexpr int kHeight = 144;
constexpr int kPictures = 60;  // with 20 pictures a second: key frames at 0, 20 and 40

struct Recording {
  std::string privateStream;
  std::string rawStream;
  std::vector<SeenPacket> packets;
};

std::string OnlyFileIn(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    files.push_back(entry.path().string());
  EXPECT_EQ(files.size(), 1u) << folder;
  return files.empty() ? "" : files[0];
}

// A sink records kPictures pictures with its private stream and its raw stream on.
Recording MakeRecording(const TestAppDir& dir) {
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=1\n");
  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, kWidth, kHeight, 1, 20);
  info.pixelFormat = PIX_FMT_YUV420P;
  ISorvoSink* raw = nullptr;
  Recording recording;
  const std::string path = dir.File("camera.mp4");
  if (CreateSorvo("camera", path.c_str(), info, 300000, FreeLoopbackPort(), &raw, 0, 0) != 1) {
    ADD_FAILURE() << "CreateSorvo";
    return recording;
  }
  auto* sink = static_cast<CSorvoSinkFF*>(raw);
  PacketCollector collector;
  sink->SetEncodeDataOutputCB(&collector);
  EXPECT_EQ(sink->StartPrivateStream(), 1);
  EXPECT_TRUE(FeedPictures(*sink, collector, kWidth, kHeight, kPictures));
  sink->Close();
  sink->StopPrivateStream();
  sink->Release();
  recording.packets = collector.Packets();
  recording.privateStream = OnlyFileIn(dir.File("PrivateRawStream"));
  recording.rawStream = OnlyFileIn(dir.File("RawStream"));
  return recording;
}

// Where each record starts, read with the library's own parser.
std::vector<size_t> RecordOffsets(const std::string& bytes) {
  std::vector<size_t> offsets;
  size_t at = 0;
  sorvo::ParsedRecord record;
  while (at < bytes.size() &&
         sorvo::ParseRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at,
                            &record) == sorvo::ParseResult::kOk) {
    offsets.push_back(at);
    at += record.recordLength;
  }
  return offsets;
}

std::vector<int> PacketSizes(const std::vector<SeenPacket>& packets) {
  std::vector<int> sizes;
  for (const SeenPacket& packet : packets)
    sizes.push_back(static_cast<int>(packet.data.size()));
  return sizes;
}

std::vector<int> PacketSizes(const ProbedFile& file) {
  std::vector<int> sizes;
  for (const ProbedPacket& packet : file.packets)
    sizes.push_back(packet.size);
  return sizes;
}

class RecoverTest : public ::testing::Test {
 protected:
  TestAppDir dir;
};

TEST_F(RecoverTest, WholeRecordingsComeBackPacketForPacket) {
  const Recording recording = MakeRecording(dir);
  ASSERT_EQ(recording.packets.size(), static_cast<size_t>(kPictures));

  for (const std::string& input : {recording.privateStream, recording.rawStream}) {
    const ToolResult run = RunTool(kRecoverProgram, {input}, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("176x144 at 20 per second (from the stream's headers)"),
              std::string::npos)
        << run.out;
    const ProbedFile file = ProbeFile(input + ".recovered.mp4");
    ASSERT_TRUE(file.opened);
    ASSERT_EQ(file.streams.size(), 1u);
    EXPECT_EQ(file.streams[0].decodedFrames, kPictures);
    EXPECT_EQ(file.streams[0].decodeErrors, 0);
    EXPECT_EQ(PacketSizes(file), PacketSizes(recording.packets));
    EXPECT_NEAR(file.streams[0].endSeconds, kPictures / 20.0, 0.01);
  }
  EXPECT_NE(RunTool(kRecoverProgram, {recording.privateStream}, dir.path())
                .out.find("records: 60 good, 0 damaged"),
            std::string::npos);
}

TEST_F(RecoverTest, DamagedAndCutRecordsAreSkippedAndEveryIntactPacketKept) {
  const Recording recording = MakeRecording(dir);
  std::string bytes = ReadWholeFile(recording.privateStream);
  const std::vector<size_t> offsets = RecordOffsets(bytes);
  ASSERT_EQ(offsets.size(), static_cast<size_t>(kPictures));

  // Record 10's payload gets a flipped byte, record 30 loses its end marker, a stretch of
  // junk sits before record 45, and the file is cut inside its last record.
  bytes[offsets[10] + 40] = static_cast<char>(bytes[offsets[10] + 40] ^ 0x5A);
  bytes[offsets[31] - 1] = 0x00;
  bytes.insert(offsets[45], std::string(300, '\x55') + "\xC0\xC0\xC0\xC0\x15");
  bytes.resize(bytes.size() - 100);
  const std::string damaged = dir.File("damaged.bin");
  dir.WriteFile("damaged.bin", bytes);

  const std::string out = dir.File("rescued.mp4");
  const ToolResult run = RunTool(kRecoverProgram, {damaged, "-o", out}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("records: 57 good, 4 damaged"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("cut short"), std::string::npos) << run.out;

  std::vector<SeenPacket> intact;
  for (int i = 0; i < kPictures; ++i)
    if (i != 10 && i != 30 && i != kPictures - 1)
      intact.push_back(recording.packets[i]);
  const ProbedFile file = ProbeFile(out);
  ASSERT_TRUE(file.opened);
  EXPECT_EQ(PacketSizes(file), PacketSizes(intact));
  EXPECT_EQ(file.streams[0].decodedFrames, 57);
}

TEST_F(RecoverTest, ARecordingThatBeginsMidGroupStartsAtItsFirstKeyFrame) {
  const Recording recording = MakeRecording(dir);
  std::string bytes = ReadWholeFile(recording.privateStream);
  const std::vector<size_t> offsets = RecordOffsets(bytes);
  ASSERT_EQ(offsets.size(), static_cast<size_t>(kPictures));
  dir.WriteFile("late.bin", bytes.substr(offsets[5]));

  const ToolResult run = RunTool(kRecoverProgram, {dir.File("late.bin")}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("15 packets before the first key frame"), std::string::npos) << run.out;
  const ProbedFile file = ProbeFile(dir.File("late.bin.recovered.mp4"));
  ASSERT_TRUE(file.opened);
  EXPECT_EQ(file.streams[0].decodedFrames, kPictures - 20);
  EXPECT_TRUE(file.packets[0].key);
}

TEST_F(RecoverTest, AnythingElseIsRefusedWithAMessageAndNothingWritten) {
  std::mt19937 random(7);
  std::string noise(200000, '\0');
  for (char& c : noise)
    c = static_cast<char>(random());
  dir.WriteFile("noise.bin", noise);
  dir.WriteFile("empty.bin", "");
  dir.WriteFile("markers.bin", std::string(5000, '\xC0'));
  // A record whose lengths claim nearly 4 GiB: its checks must not trust them.
  uint8_t block[8];
  sorvo::RecordBlock(0xFFFFFFF0u, block);
  const uint8_t lengths[] = {0xF0, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0,  // T, padded to 8 bytes
                             0x00, 0xFF, 0xFF, 0xFF};             // payload length
  const std::string huge = std::string("\xC0\xC0") +
                           std::string(reinterpret_cast<char*>(block), 8) +
                           std::string(reinterpret_cast<const char*>(lengths), sizeof(lengths)) +
                           std::string(100000, '\x11');
  dir.WriteFile("huge.bin", huge);

  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{dir.File("noise.bin")},
       1,
       "neither a private stream file, a raw MPEG-4 stream, an MP4 nor a WAV file"},
      {{dir.File("noise.bin"), "--kind", "raw"}, 1, "no packet could be recovered"},
      {{dir.File("noise.bin"), "--kind", "private"}, 1, "no packet could be recovered"},
      {{dir.File("markers.bin"), "--kind", "private"}, 1, "no packet could be recovered"},
      {{dir.File("huge.bin"), "--kind", "private"}, 1, "no packet could be recovered"},
      {{dir.File("empty.bin")}, 1, "is empty"},
      {{dir.File("absent.bin")}, 1, "No such file"},
      {{dir.path()}, 1, "folder"},
      {{}, 2, "FILE is required"},
      {{dir.File("noise.bin"), "--fps", "99"}, 2, "--fps"},
  };
  for (const Case& c : cases) {
    const ToolResult run = RunTool(kRecoverProgram, c.args, dir.path());
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  for (const char* name : {"noise.bin", "markers.bin", "huge.bin"})
    EXPECT_FALSE(std::ifstream(dir.File(name) + ".recovered.mp4").good()) << name;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Lengths are only believed once the bytes are there: within a gigabyte of address space
  // the nearly-4-GiB record is still just damage. (Sanitizers need more address space.)
  const ToolResult limited =
      RunTool("/bin/sh",
              {"-c", "ulimit -v 1000000 && exec \"$0\" \"$1\" --kind private", kRecoverProgram,
               dir.File("huge.bin")},
              dir.path());
  EXPECT_EQ(limited.exitCode, 1) << limited.err;
  EXPECT_NE(limited.out.find("records: 0 good, 1 damaged"), std::string::npos) << limited.out;
#endif
}

}  // namespace
