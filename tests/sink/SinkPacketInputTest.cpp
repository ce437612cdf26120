// A sink that records packets encoded elsewhere (a camera passed on from another recorder):
// its file, its clients and its data target get the packets byte for byte from a key frame
// on, its file keeps the stream's own headers, pictures are not encoded meanwhile, and a
// stream of another size or rate, or without headers, is refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "SinkTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRate = 25;

// The packets of `count` moving pictures from an encoder of its own, with its headers.
std::vector<SeenPacket> EncodedElsewhere(int width,
                                         int height,
                                         int rate,
                                         int count,
                                         std::vector<uint8_t>* headers = nullptr) {
  RecordingEncoder encoder;
  EXPECT_EQ(encoder.Open(width, height, PIX_FMT_YUV420P, rate, 400000, "elsewhere"), 1);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(width, height, i);
    encoder.Encode(0, static_cast<double>(i) / rate, picture.data(),
                   static_cast<long>(picture.size()));
  }
  if (headers != nullptr) {
    const AVCodecContext* context = encoder.GetCodecContext();
    headers->assign(context->extradata, context->extradata + context->extradata_size);
  }
  return encoder.packets;
}

int Begin(CSorvoSinkFF& sink, const SeenPacket& packet) {
  return sink.BeginPacketStream(packet.data.data(), static_cast<long>(packet.data.size()));
}

TEST(SinkPacketInputTest, RecordsPacketsAsTheyAreFromAKeyFrameAndRefusesOthers) {
  TestAppDir dir;
  std::vector<uint8_t> headers;
  const std::vector<SeenPacket> packets = EncodedElsewhere(kWidth, kHeight, kRate, 60, &headers);
  ASSERT_EQ(packets.size(), 60u);
  ASSERT_TRUE(packets[0].key() && !packets[10].key() && packets[25].key());

  const std::string path = dir.File("passed.mp4");
  CSorvoSinkFF sink;
  ASSERT_EQ(
      sink.Create("passed", path.c_str(), kWidth, kHeight, PIX_FMT_YUV420P, kRate, 400000, 3, 0, 0),
      1);
  PacketCollector collector;
  sink.SetEncodeDataOutputCB(&collector);

  // Nothing begun; a picture between key frames; another size; another rate.
  EXPECT_EQ(sink.OnPacket(0, 0.0, packets[0].data.data(), 10, 1), 0);
  EXPECT_EQ(Begin(sink, packets[10]), 0);
  EXPECT_EQ(Begin(sink, EncodedElsewhere(352, 288, kRate, 1)[0]), 0);
  EXPECT_EQ(Begin(sink, EncodedElsewhere(kWidth, kHeight, 30, 1)[0]), 0);

  ASSERT_EQ(Begin(sink, packets[0]), 1);
  ASSERT_EQ(sink.StartRecord(), 1);
  // Begun mid-GOP: until the next key frame the packets refer to pictures never seen, and
  // pictures are encoded; from it on, packets are recorded and pictures only forwarded.
  for (int i = 10; i < 60; ++i) {
    const SeenPacket& packet = packets[i];
    const double time = static_cast<double>(i) / kRate;
    EXPECT_EQ(sink.OnPacket(0, time, packet.data.data(), static_cast<long>(packet.data.size()),
                            packet.key() ? 1 : 0),
              i >= 25 ? 1 : 0)
        << i;
    if (i < 25) {
      ASSERT_TRUE(FeedPictures(sink, collector, kWidth, kHeight, 1, i));
      continue;
    }
    std::vector<uint8_t> picture = MovingYuvPicture(kWidth, kHeight, i);
    sink.OnBuffer(0, time, picture.data(), static_cast<long>(picture.size()), kWidth, kHeight,
                  PIX_FMT_YUV420P);
  }
  // Pictures are encoded again once the stream ends, from a key frame.
  sink.EndPacketStream();
  ASSERT_TRUE(FeedPictures(sink, collector, kWidth, kHeight, 3, 70));
  sink.Close();

  const std::vector<SeenPacket> seen = collector.Packets();
  ASSERT_EQ(seen.size(), 53u);
  EXPECT_TRUE(seen[0].key());
  EXPECT_TRUE(seen[50].key());
  for (size_t i = 0; i < 50; ++i)
    EXPECT_EQ(seen[i].pts, static_cast<int64_t>(i)) << i;
  const std::vector<std::string> written = StreamPacketBytes(path, 0);
  ASSERT_EQ(written.size(), 53u);
  for (size_t i = 0; i < 35; ++i)
    EXPECT_EQ(written[15 + i],
              std::string(packets[25 + i].data.begin(), packets[25 + i].data.end()))
        << i;
  const std::vector<std::vector<uint8_t>> configs = EsdsDecoderInfos(path);
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(configs[0], headers);
  const ProbedFile file = ProbeFile(path);
  ASSERT_FALSE(file.streams.empty());
  EXPECT_EQ(file.streams[0].decodedFrames, 53);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
}

}  // namespace
