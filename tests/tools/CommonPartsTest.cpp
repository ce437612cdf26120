// What the programs share, on inputs a whole run would rarely produce: records whose
// framing holds but whose packet header lies, packets with gaps in their numbers, and the
// texts the recorder prints.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "sink/PrivateStreamFrame.h"
#include "tools/common/MediaReadBack.h"
#include "tools/common/Mp4VideoWriter.h"
#include "tools/common/PrivateStreamScanner.h"
#include "tools/common/TextTable.h"
#include "tools/record/ProgressLine.h"

namespace {

using namespace sorvo::tools;

// One record of the private stream file around `packet`, with a header saying `size`.
std::string Record(const std::string& packet, int32_t size) {
  PacketHeader header;
  header.size = size;
  std::string payload = packet + std::string(reinterpret_cast<const char*>(&header), 20);
  std::vector<uint8_t> record(sorvo::MaxRecordSize(payload.size()));
  const size_t length = sorvo::PackRecord(
      record.data(), reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  return std::string(reinterpret_cast<char*>(record.data()), length);
}

std::vector<std::string> Scan(const std::string& bytes, PrivateStreamCounts* counts) {
  std::vector<std::string> packets;
  *counts = ScanPrivateStream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                              [&](const PrivatePacket& packet) {
                                packets.emplace_back(reinterpret_cast<const char*>(packet.data),
                                                     packet.size);
                              });
  return packets;
}

TEST(PrivateStreamScannerTest, ARecordWhosePacketHeaderLiesIsDamage) {
  const std::string a = "\xC0\xCA\xCF packet a", b = "packet b", c = "packet c";
  PrivateStreamCounts counts;
  const std::vector<std::string> packets =
      Scan(Record(a, static_cast<int32_t>(a.size())) + Record(b, 3) +
               Record(c, static_cast<int32_t>(c.size())),
           &counts);
  EXPECT_EQ(packets, (std::vector<std::string>{a, c}));
  EXPECT_EQ(counts.good, 2);
  EXPECT_EQ(counts.damaged, 1);
  EXPECT_FALSE(counts.truncated);
}

TEST(PrivateStreamScannerTest, JunkBeforeAndBetweenRecordsIsSkippedOnceEach) {
  const std::string a = "first", b = "second";
  PrivateStreamCounts counts;
  const std::string junk(50, '\x01');
  const std::vector<std::string> packets =
      Scan(junk + Record(a, 5) + junk + "\xC0\xC0\xC0" + junk + Record(b, 6), &counts);
  EXPECT_EQ(packets, (std::vector<std::string>{a, b}));
  EXPECT_EQ(counts.damaged, 2);
  EXPECT_EQ(counts.bytesSkipped, 50 + 50 + 3 + 50);
}

TEST(MediaReadBackTest, APictureTheDecoderHadToPatchOverIsADecodeError) {
  // The MPEG-4 decoder does not refuse a damaged picture: it conceals what it cannot read
  // and hands the picture out, so only its report tells a damaged file from a good one.
  sorvo::test::TestAppDir dir;
  constexpr int kW = 320, kH = 240;
  sorvo::test::RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 800000, "readback"), 1);
  for (int i = 0; i < 10; ++i) {
    std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(kW, kH, i);
    ASSERT_EQ(encoder.Encode(0, i / 25.0, picture.data(), static_cast<long>(picture.size())), 1);
  }
  auto write = [&](const std::string& path, int damaged) {
    Mp4VideoWriter writer(path, kW, kH, 25);
    for (size_t i = 0; i < encoder.packets.size(); ++i) {
      std::vector<uint8_t> data = encoder.packets[i].data;
      if (static_cast<int>(i) == damaged) {
        // The picture's own bytes, past its start code and header, turned to noise.
        for (size_t b = data.size() / 4; b < data.size(); ++b)
          data[b] = static_cast<uint8_t>(b * 37 + 11);
      }
      ASSERT_EQ(writer.Write(data.data(), data.size(), (encoder.packets[i].flags & 1) != 0,
                             static_cast<int64_t>(i)),
                Mp4VideoWriter::Result::kWritten);
    }
    ASSERT_TRUE(writer.Finish());
  };
  write(dir.File("good.mp4"), -1);
  write(dir.File("damaged.mp4"), 5);

  const FileReadBack good = ReadBack(dir.File("good.mp4"));
  EXPECT_TRUE(good.Good()) << good.error;
  const FileReadBack damaged = ReadBack(dir.File("damaged.mp4"));
  ASSERT_TRUE(damaged.opened);
  ASSERT_EQ(damaged.streams.size(), 1u);
  EXPECT_EQ(damaged.streams[0].frames, 10);
  EXPECT_GE(damaged.streams[0].damagedFrames, 1);
  // Told to refuse bitstream errors, the decoder may also refuse the packet it patched over.
  EXPECT_GE(damaged.streams[0].decodeErrors, damaged.streams[0].damagedFrames);
  EXPECT_FALSE(damaged.Good());
}

TEST(Mp4VideoWriterTest, APacketMissingFromTheNumbersLeavesAGapInTime) {
  sorvo::test::TestAppDir dir;
  // A predicted picture first: nothing is written before the key frame.
  const std::string key("\x00\x00\x01\xB0\x01\x00\x00\x01\xB6\x10\x00", 11);
  const std::string predicted("\x00\x00\x01\xB6\x50\x00", 6);
  const std::string path = dir.File("gaps.mp4");
  {
    Mp4VideoWriter writer(path, 176, 144, 10);
    auto write = [&](const std::string& p, bool isKey, int64_t tick) {
      return writer.Write(reinterpret_cast<const uint8_t*>(p.data()), p.size(), isKey, tick);
    };
    EXPECT_EQ(write(predicted, false, 0), Mp4VideoWriter::Result::kWaitingForKeyFrame);
    EXPECT_FALSE(writer.opened());
    EXPECT_EQ(write(key, true, 0), Mp4VideoWriter::Result::kWritten);
    EXPECT_EQ(write(predicted, false, 1), Mp4VideoWriter::Result::kWritten);
    EXPECT_EQ(write(predicted, false, 4), Mp4VideoWriter::Result::kWritten);
    // A number that goes back is put just after the last one.
    EXPECT_EQ(write(predicted, false, 2), Mp4VideoWriter::Result::kWritten);
    EXPECT_EQ(writer.packets(), 4);
  }
  const sorvo::test::ProbedFile file = sorvo::test::ProbeFile(path);
  ASSERT_TRUE(file.opened);
  std::vector<double> times;
  for (const sorvo::test::ProbedPacket& packet : file.packets) times.push_back(packet.ptsSeconds);
  EXPECT_EQ(times, (std::vector<double>{0.0, 0.1, 0.4, 0.5}));
  EXPECT_TRUE(file.packets[0].key);
  // The key frame's headers are the decoder configuration of the MP4.
  const std::vector<std::vector<uint8_t>> configs = sorvo::test::EsdsDecoderInfos(path);
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(configs[0], std::vector<uint8_t>(key.begin(), key.begin() + 5));
}

TEST(ProgressLineTest, CountsOnlyPicturesThatCanNoLongerArrive) {
  SinkStatus camera;
  camera.name = "camera0";
  camera.buffersIn = 100;
  camera.packets = 90;
  camera.late = 1;
  camera.clients = 2;
  SinkStatus sound;
  sound.name = "sound";
  sound.video = false;
  sound.buffersIn = 40;
  sound.bytes = 1000;
  // Six pictures may still be in the sink's queue and encoder while it runs.
  EXPECT_EQ(camera.dropped() + camera.late, 5);
  EXPECT_EQ(ProgressLine::Format(2.5, {camera, sound}, 5, 2.5e6, "director: camera0"),
            "2.5 s | camera0 100 | dropped 5 | 2.50 Mbit/s | clients 2 | director: camera0");
  camera.final = true;
  EXPECT_EQ(camera.dropped(), 10);
  EXPECT_EQ(sound.dropped(), 0);
}

// What the progress lines written to a memory stream said after "dropped ".
std::vector<long long> DroppedCounts(const std::function<void(std::FILE*)>& write) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  write(out);
  std::fclose(out);
  const std::string printed(text, size);
  std::free(text);
  std::vector<long long> counts;
  for (size_t at = printed.find("dropped "); at != std::string::npos;
       at = printed.find("dropped ", at + 1))
    counts.push_back(std::stoll(printed.substr(at + 8)));
  return counts;
}

// A queue that catches up makes fewer pictures look missing; the count a person watches
// stays, and the line after the sink has closed gives the summary's exact count.
TEST(ProgressLineTest, DroppedNeverGoesDownAndEndsAtTheSummarysCount) {
  SinkStatus camera;
  camera.name = "camera0";
  auto at = [&](long long in, long long packets, long long late, bool final) {
    camera.buffersIn = in;
    camera.packets = packets;
    camera.late = late;
    camera.final = final;
    return camera;
  };
  const std::vector<SinkStatus> steps = {at(100, 70, 0, false), at(110, 104, 0, false),
                                         at(120, 118, 1, false), at(125, 96, 1, true)};
  const std::vector<long long> shown = DroppedCounts([&](std::FILE* out) {
    ProgressLine progress(out);
    for (size_t i = 0; i < steps.size(); ++i) progress.Show(1.0 + i, {steps[i]}, "");
  });
  EXPECT_EQ(shown, (std::vector<long long>{24, 24, 25, 30}));
  EXPECT_EQ(steps.back().dropped() + steps.back().late, 30);
}

TEST(ProgressLineTest, PicturesLeftOutAtSwitchesAreNotDropped) {
  // A director that switched 40 times, each time to a picture taken at the instant its
  // file already held, lost nothing.
  SinkStatus director;
  director.name = "director";
  director.buffersIn = 500;
  director.packets = 460;
  director.leftOut = 40;
  director.final = true;
  EXPECT_EQ(director.dropped(), 0);
  const std::vector<long long> shown = DroppedCounts([&](std::FILE* out) {
    ProgressLine progress(out);
    progress.Show(20.0, {director}, "");
  });
  EXPECT_EQ(shown, (std::vector<long long>{0}));
  director.packets = 455;
  EXPECT_EQ(director.dropped(), 5);
}

TEST(TextTableTest, ColumnsLineUpWithWideCharacters) {
  EXPECT_EQ(FormatCount(1234567), "1,234,567");
  EXPECT_EQ(FormatCount(-1000), "-1,000");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(100), "100 B");

  TextTable table({{"file"}, {"frames", true}});
  table.AddRow({"导播多流.mp4", "7"});
  table.AddRow({"camera0.mp4", "1,250"});
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  table.Print(out);
  std::fclose(out);
  const std::string printed(text, size);
  std::free(text);
  // 导播多流 takes eight columns, so its name is one column wider than camera0.mp4.
  EXPECT_EQ(printed,
            "  file          frames\n"
            "  --------------------\n"
            "  导播多流.mp4       7\n"
            "  camera0.mp4    1,250\n");
}

}  // namespace
