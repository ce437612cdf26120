// sorvo-recover on files a recording sink wrote, whole and damaged, and on anything else a
// user might hand it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "RecoverTestSupport.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/CodecTestSupport.h"
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

TEST_F(RecoverTest, ARawStreamCutInsideItsLastPictureLeavesThatPictureOut) {
  const Recording recording = MakeRecording(dir);
  ASSERT_EQ(recording.packets.size(), static_cast<size_t>(kPictures));
  const std::string bytes = ReadWholeFile(recording.rawStream);
  dir.WriteFile("cut.raw", bytes.substr(0, bytes.size() - 100));

  const ToolResult run = RunTool(kRecoverProgram, {dir.File("cut.raw")}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("raw stream file"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1 pictures did not decode cleanly"), std::string::npos) << run.out;
  const std::string rebuilt = dir.File("cut.raw.recovered.mp4");
  const FfprobeCount count = CountFramesWithFfprobe(rebuilt, dir.path());
  ASSERT_TRUE(count.ran);
  EXPECT_EQ(count.errors, "");
  EXPECT_EQ(count.frames, std::vector<long long>{kPictures - 1});
  std::vector<SeenPacket> whole(recording.packets.begin(), recording.packets.end() - 1);
  EXPECT_EQ(PacketSizes(ProbeFile(rebuilt)), PacketSizes(whole));
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
  // The records lost to damage stay gaps in time: the last intact picture, 58, ends at
  // 59 / 20 s.
  EXPECT_NEAR(file.streams[0].endSeconds, 2.95, 0.01);
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
  // A WAV header with no sound after it, and one whose rate no recording has.
  const std::string wav = std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0", 24) + "????" +
                          std::string("\x0E\0\0\0\x02\0\x10\0data\x10\0\0\0", 16);
  dir.WriteFile("header.wav", std::string(wav).replace(24, 4, "\x44\xAC\0\0", 4));
  dir.WriteFile("7hz.wav", std::string(wav).replace(24, 4, "\x07\0\0\0", 4) + "\x01\x02\x03\x04");

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
      {{dir.File("header.wav")}, 1, "no sound after its header"},
      {{dir.File("7hz.wav")}, 1, "7 samples a second"},
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

// The recording's private stream with every record's packet number replaced by `number(i)`.
std::string Renumbered(const std::string& bytes, const std::function<uint32_t(int)>& number) {
  std::string renumbered;
  const std::vector<size_t> offsets = RecordOffsets(bytes);
  for (size_t i = 0; i < offsets.size(); ++i) {
    sorvo::ParsedRecord record;
    sorvo::ParseRecord(reinterpret_cast<const uint8_t*>(bytes.data()) + offsets[i],
                       bytes.size() - offsets[i], &record);
    PacketHeader header;
    std::memcpy(&header, record.payload.data() + record.payload.size() - sizeof(header),
                sizeof(header));
    header.seq = static_cast<int32_t>(number(static_cast<int>(i)));
    std::memcpy(record.payload.data() + record.payload.size() - sizeof(header), &header,
                sizeof(header));
    std::vector<uint8_t> packed(sorvo::MaxRecordSize(record.payload.size()));
    const size_t length =
        sorvo::PackRecord(packed.data(), record.payload.data(), record.payload.size());
    renumbered.append(reinterpret_cast<const char*>(packed.data()), length);
  }
  return renumbered;
}

TEST_F(RecoverTest, PacketNumbersThatJumpFurtherThanTheFileCanHoldAreNotBelieved) {
  const Recording recording = MakeRecording(dir);
  dir.WriteFile("jumps.bin", Renumbered(ReadWholeFile(recording.privateStream),
                                        [](int i) { return static_cast<uint32_t>(i) << 26; }));
  const ToolResult run = RunTool(kRecoverProgram, {dir.File("jumps.bin")}, dir.path());
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.err.find("not believed"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("59 numbers in the file could not be believed"), std::string::npos)
      << run.err;
  const ProbedFile file = ProbeFile(dir.File("jumps.bin.recovered.mp4"));
  ASSERT_TRUE(file.opened);
  EXPECT_EQ(file.streams[0].decodedFrames, kPictures);
  EXPECT_NEAR(file.streams[0].endSeconds, kPictures / 20.0, 0.01);

  // Numbers that go back are no more believable.
  dir.WriteFile("back.bin", Renumbered(ReadWholeFile(recording.privateStream),
                                       [](int i) { return static_cast<uint32_t>(100 - i); }));
  const ToolResult back = RunTool(kRecoverProgram, {dir.File("back.bin")}, dir.path());
  EXPECT_EQ(back.exitCode, 3) << back.out << back.err;
  EXPECT_NEAR(ProbeFile(dir.File("back.bin.recovered.mp4")).streams[0].endSeconds, kPictures / 20.0,
              0.01);
}

TEST_F(RecoverTest, AFrameRateOutsideOneTo35OrAPictureTimeLeapingHoursIsNotBelieved) {
  dir.WriteFile("fast.raw", Joined(EncodedClip(kWidth, kHeight, 60, 30)));
  ToolResult run = RunTool(kRecoverProgram, {dir.File("fast.raw")}, dir.path());
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.err.find("declare 60.00 pictures per second"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("at 25 per second (from a guess)"), std::string::npos) << run.out;
  EXPECT_NEAR(ProbeFile(dir.File("fast.raw.recovered.mp4")).streams[0].endSeconds, 30 / 25.0, 0.01);
  // Told the rate, it has nothing to doubt.
  run = RunTool(kRecoverProgram, {dir.File("fast.raw"), "--fps", "30"}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NEAR(ProbeFile(dir.File("fast.raw.recovered.mp4")).streams[0].endSeconds, 1.0, 0.01);

  // The second key frame's group header says five hours later.
  std::string leap = Joined(EncodedClip(kWidth, kHeight, 20, kPictures));
  const char group[] = {0, 0, 1, static_cast<char>(0xB3)};
  const size_t second = leap.find(std::string(group, 4), leap.find(std::string(group, 4)) + 4);
  ASSERT_NE(second, std::string::npos);
  leap[second + 4] = static_cast<char>(leap[second + 4] | (5 << 3));
  dir.WriteFile("leap.raw", leap);
  run = RunTool(kRecoverProgram, {dir.File("leap.raw")}, dir.path());
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.err.find("18000.05 s after the one before it: not believed"), std::string::npos)
      << run.err;
  // The pictures after it go on from its place in time, each by its own time.
  EXPECT_NE(run.err.find("1 numbers in the file could not be believed"), std::string::npos)
      << run.err;
  const ProbedFile file = ProbeFile(dir.File("leap.raw.recovered.mp4"));
  ASSERT_TRUE(file.opened);
  EXPECT_EQ(file.streams[0].decodedFrames, kPictures);
  EXPECT_NEAR(file.streams[0].endSeconds, kPictures / 20.0, 0.01);
}

TEST_F(RecoverTest, CamerasOfOneSizeInOneFileAreToldApartByTheirTimes) {
  // Two cameras of the same size (identical stream headers) and the sound, interleaved
  // by time as the muxer writes them: at equal times the first camera, then the second.
  const std::vector<std::string> first = EncodedClip(kWidth, kHeight, 20, kPictures);
  const std::vector<std::string> second = EncodedClip(kWidth, kHeight, 20, kPictures, 500);
  const std::vector<std::string> sound = EncodedTone(2, 44100, 44100 * 3);
  ASSERT_GT(sound.size(), 100u);
  std::string media;
  size_t frame = 0;
  for (int i = 0; i < kPictures; ++i) {
    for (; frame < sound.size() && frame * 1152 * 20 < static_cast<size_t>(i) * 44100; ++frame)
      media += sound[frame];
    media += first[i] + second[i];
  }
  for (; frame < sound.size(); ++frame)
    media += sound[frame];
  dir.WriteFile("two.mp4", KilledMp4Around(media));

  const ToolResult run = RunTool(kRecoverProgram, {dir.File("two.mp4")}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  const std::string rebuilt = dir.File("two.mp4.recovered.mp4");
  const ProbedFile file = ProbeFile(rebuilt);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 3u);
  auto sizes = [](const std::vector<std::string>& packets) {
    std::vector<int> result;
    for (const std::string& packet : packets)
      result.push_back(static_cast<int>(packet.size()));
    return result;
  };
  std::vector<int> seen;
  for (const ProbedPacket& packet : file.PacketsOf(0))
    seen.push_back(packet.size);
  EXPECT_EQ(seen, sizes(first));
  seen.clear();
  for (const ProbedPacket& packet : file.PacketsOf(1))
    seen.push_back(packet.size);
  EXPECT_EQ(seen, sizes(second));
  EXPECT_EQ(file.PacketsOf(2).size(), sound.size());
  const FfprobeCount count = CountFramesWithFfprobe(rebuilt, dir.path());
  EXPECT_EQ(count.errors, "");
  EXPECT_EQ(count.frames[0], kPictures);
  EXPECT_EQ(count.frames[1], kPictures);
}

TEST_F(RecoverTest, AnOutputThatIsTheInputIsRefusedAndTheInputStaysWhole) {
  const Recording recording = MakeRecording(dir);
  const std::string input = dir.File("only_copy.bin");
  const std::string bytes = ReadWholeFile(recording.privateStream);
  dir.WriteFile("only_copy.bin", bytes);
  std::filesystem::create_directory(dir.File("d"));
  ASSERT_EQ(symlink(input.c_str(), dir.File("link.mp4").c_str()), 0);
  ASSERT_EQ(link(input.c_str(), dir.File("hard.mp4").c_str()), 0);
  for (const std::string& output :
       {input, dir.File("link.mp4"), dir.File("d/../only_copy.bin"), dir.File("hard.mp4")}) {
    SCOPED_TRACE(output);
    const ToolResult run = RunTool(kRecoverProgram, {input, "-o", output}, dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("is the input file"), std::string::npos) << run.err;
    EXPECT_EQ(ReadWholeFile(input), bytes);
  }
  // A new file of its own is fine, and the input is still as it was.
  const ToolResult run = RunTool(kRecoverProgram, {input, "-o", dir.File("d/new.mp4")}, dir.path());
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(ReadWholeFile(input), bytes);
}

TEST_F(RecoverTest, AFifoOrADeviceIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Nobody ever writes to the FIFO: a program that opens it for reading waits for ever.
  ToolResult run = RunTool(kRecoverProgram, {fifo}, dir.path(), std::chrono::seconds(30));
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("it is a FIFO"), std::string::npos) << run.err;
  run = RunTool(kRecoverProgram, {"/dev/null"}, dir.path(), std::chrono::seconds(30));
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("it is a device"), std::string::npos) << run.err;
}

}  // namespace
