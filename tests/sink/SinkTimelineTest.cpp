// A sink's MP4 keeps the capture clock and a constant rate when its frame pool gives
// pictures up: the worker is held inside its hook while the capture thread goes on, so that
// exactly the pictures the pool drops are missing, and the file read back repeats the
// picture before them in their slots.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFWriteFile.h"
#include "common/CounterPicture.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "sink/SinkTestSupport.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;
constexpr int kPictures = 100;

void Deliver(CSorvoSinkFF& sink, int counter) {
  std::vector<uint8_t> picture = CounterPicture(kW, kH, 0, counter);
  sink.OnBuffer(0, counter / 25.0, picture.data(), static_cast<long>(picture.size()), kW, kH,
                PIX_FMT_YUV420P);
}

// Delivers pictures `from` to `to` - 1, each once the one before has been encoded.
void DeliverOneByOne(CSorvoSinkFF& sink, PacketCollector& packets, int from, int to) {
  for (int k = from; k < to; ++k) {
    const size_t before = packets.Packets().size();
    Deliver(sink, k);
    ASSERT_TRUE(packets.WaitFor(before + 1)) << k;
  }
}

struct Recording {
  std::unique_ptr<HeldSink> sink;
  PacketCollector packets;
  std::string path;
};

void Start(Recording& recording, const TestAppDir& dir, const std::string& name, int64_t holdAt) {
  recording.sink = std::make_unique<HeldSink>(holdAt);
  recording.path = dir.File(name + ".mp4");
  ASSERT_EQ(recording.sink->Create(name.c_str(), recording.path.c_str(), kW, kH, PIX_FMT_YUV420P,
                                   25, 400000, 0, 0, 0),
            1);
  recording.sink->SetEncodeDataOutputCB(&recording.packets);
  ASSERT_EQ(recording.sink->StartRecord(), 1);
}

// 100 pictures captured at k / 25 s; while the worker is held after picture 45, the
// capture thread delivers 46 to 59, and the pool keeps only the last four of them: 46 to
// 55 are lost, across the stream's second 2.
void RecordWithTenLost(Recording& recording, const TestAppDir& dir) {
  Start(recording, dir, "lossy", 45);
  HeldSink& sink = *recording.sink;
  DeliverOneByOne(sink, recording.packets, 0, 46);
  ASSERT_TRUE(sink.WaitUntilHeld());
  for (int k = 46; k < 60; ++k)
    Deliver(sink, k);
  sink.LetGo();
  // Four pictures the pool kept, after the repeats of the ten it gave up.
  ASSERT_TRUE(recording.packets.WaitFor(60));
  DeliverOneByOne(sink, recording.packets, 60, kPictures);
  sink.Close();
}

void RecordAll(Recording& recording, const TestAppDir& dir) {
  Start(recording, dir, "whole", -1);
  DeliverOneByOne(*recording.sink, recording.packets, 0, kPictures);
  recording.sink->Close();
}

// Every decoded picture's counter, each checked to be shown in its own slot: picture i at
// i / 25 s, a constant rate.
std::vector<int> ShownAtTheirTimes(const ProbedFile& file) {
  std::vector<int> counters;
  EXPECT_EQ(file.streams.size(), 1u);
  if (file.streams.empty())
    return counters;
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.decodeErrors, 0);
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    const CounterMark mark = ReadCounter(video.pictures[i]);
    EXPECT_TRUE(mark.readable) << i;
    counters.push_back(mark.counter);
    EXPECT_NEAR(video.pictureSeconds[i], i / 25.0, 1e-3) << mark.counter;
  }
  return counters;
}

TEST(SinkTimelineTest, PicturesTheQueueGivesUpAreRepeatsOfTheOneBeforeInTheFile) {
  TestAppDir dir;
  Recording lossy;
  RecordWithTenLost(lossy, dir);
  EXPECT_EQ(lossy.packets.Packets().size(), static_cast<size_t>(kPictures));

  const ProbedFile file = ProbeFile(lossy.path, true);
  const std::vector<int> counters = ShownAtTheirTimes(file);
  std::vector<int> expected;
  for (int k = 0; k < kPictures; ++k)
    expected.push_back(k < 46 || k >= 56 ? k : 45);
  EXPECT_EQ(counters, expected);
  ASSERT_EQ(file.streams.size(), 1u);
  const std::vector<Picture>& pictures = file.streams[0].pictures;
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kPictures));
  for (int k = 46; k < 56; ++k)
    EXPECT_TRUE(pictures[k].y == pictures[45].y && pictures[k].u == pictures[45].u &&
                pictures[k].v == pictures[45].v)
        << k;
  const std::vector<ProbedPacket> packets = file.PacketsOf(0);
  ASSERT_EQ(packets.size(), static_cast<size_t>(kPictures));
  for (const ProbedPacket& packet : packets)
    EXPECT_NEAR(packet.durationSeconds, 1 / 25.0, 1e-6) << packet.ptsSeconds;
  // The repeats passed into the next second: the picture after them starts over.
  EXPECT_TRUE(packets[56].key);
  // What the sink handed out decodes without a flaw too (a network client's view), the
  // repeats in a few hundred bytes.
  Mpeg4Decoder client(true);
  for (const SeenPacket& seen : lossy.packets.Packets())
    EXPECT_EQ(client.Decode(seen.data).size(), 1u);
  EXPECT_EQ(client.errors, 0);
  EXPECT_LT(lossy.packets.Packets()[50].data.size(), 64u);
}

TEST(SinkTimelineTest, ASinkThatLostPicturesEndsWithOneThatLostNone) {
  TestAppDir dir;
  Recording lossy, whole;
  RecordWithTenLost(lossy, dir);
  RecordAll(whole, dir);
  const ProbedFile lossyFile = ProbeFile(lossy.path, true);
  const ProbedFile wholeFile = ProbeFile(whole.path, true);
  ShownAtTheirTimes(lossyFile);
  ShownAtTheirTimes(wholeFile);
  ASSERT_EQ(lossyFile.streams.size(), 1u);
  ASSERT_EQ(wholeFile.streams.size(), 1u);
  EXPECT_NEAR(lossyFile.streams[0].endSeconds, wholeFile.streams[0].endSeconds, 1 / 25.0);
  EXPECT_NEAR(lossyFile.durationSeconds, wholeFile.durationSeconds, 1 / 25.0);
}

TEST(SinkTimelineTest, WithNothingLostTheFileIsWhatCountingThePicturesWrites) {
  TestAppDir dir;
  Recording whole;
  RecordAll(whole, dir);

  // The same pictures through an encoder of the same settings, written without times:
  // each packet in the place its count gives it.
  RecordingEncoder reference;
  ASSERT_EQ(reference.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "whole"), 1);
  reference.RequestKeyFrame();
  for (int k = 0; k < kPictures; ++k) {
    std::vector<uint8_t> picture = CounterPicture(kW, kH, 0, k);
    ASSERT_EQ(reference.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 1);
  }
  FFWriteFile counted;
  ASSERT_EQ(counted.AttachVideoEncoder(0, &reference), 1);
  ASSERT_EQ(counted.CreateFileA(dir.File("counted.mp4").c_str(), "mp4", 1), 1);
  for (SeenPacket& seen : reference.packets) {
    AVPacket* packet = av_packet_alloc();
    packet->data = seen.data.data();
    packet->size = static_cast<int>(seen.data.size());
    packet->flags = seen.flags;
    EXPECT_EQ(counted.AddVideoFrame(packet, 0), 1);
    av_packet_free(&packet);
  }
  counted.CloseFile();

  const std::string bytes = ReadWholeFile(whole.path);
  EXPECT_GT(bytes.size(), 1000u);
  EXPECT_TRUE(bytes == ReadWholeFile(dir.File("counted.mp4")));
}

}  // namespace
