#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "preview/FFDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "EncodedClip.h"
#include "common/LogCapture.h"
#include "host/Log.h"
#include "host/TickCount.h"

namespace {

using sorvo::test::Bytes;
using sorvo::test::EncodeGradientClip;
using sorvo::test::MeanAbsDiff;

struct Decoded {
  Bytes bytes;
  int width;
  int height;
  PixelFormat format;
};

// Keeps every picture the hook receives.
class CapturingDecoder : public FFDecoder {
 public:
  std::vector<Decoded> pictures;

  void OnDecodedFrame(unsigned char* picture, int size) override {
    // The buffer holds width x height x 4 bytes; AddressSanitizer objects if it is smaller.
    volatile unsigned char last = picture[GetWidth() * GetHeight() * 4 - 1];
    (void)last;
    pictures.push_back(
        {Bytes(picture, picture + size), GetWidth(), GetHeight(), GetOutputFormat()});
  }

  void Decode(const Bytes& packet) {
    sorvo::PacketPtr holder(av_packet_alloc());
    holder->data = const_cast<unsigned char*>(packet.data());
    holder->size = static_cast<int>(packet.size());
    DecodePacket(holder.get());
  }
};

// Each plane of `decoded` is close to the same plane of `source`, and the planes lie one after
// the other with no gaps.
void ExpectPlanesMatch(const Bytes& decoded, const Bytes& source, int width, int height) {
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  ASSERT_EQ(decoded.size(), source.size());
  EXPECT_LT(MeanAbsDiff(decoded.data(), source.data(), luma), 3.0);
  EXPECT_LT(MeanAbsDiff(decoded.data() + luma, source.data() + luma, chroma), 3.0);
  EXPECT_LT(MeanAbsDiff(decoded.data() + luma + chroma, source.data() + luma + chroma, chroma),
            3.0);
}

int InfoLines(sorvo::test::LogCapture& capture, const std::string& text) {
  int count = 0;
  for (const auto& line : capture.Lines())
    if (line.level == SORVO_LOG_INFO && line.text == text)
      ++count;
  return count;
}

TEST(FFDecoderTest, EveryPictureArrivesAsContiguousPlanesInStreamOrder) {
  // Even and odd sizes: odd ones catch row and plane layout faults. 64 x 48 x 3/2 = 4608;
  // 33 x 25 + 2 x 17 x 13 = 1267.
  struct Case {
    int width, height;
    size_t size;
  };
  for (const Case& c : {Case{64, 48, 4608}, Case{33, 25, 1267}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    auto clip = EncodeGradientClip(c.width, c.height, 6);
    ASSERT_EQ(clip.packets.size(), 6u);
    CapturingDecoder decoder;
    ASSERT_EQ(decoder.Open(), 1);
    for (const Bytes& packet : clip.packets)
      decoder.Decode(packet);

    ASSERT_EQ(decoder.pictures.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
      const Decoded& picture = decoder.pictures[i];
      EXPECT_EQ(picture.bytes.size(), c.size);
      EXPECT_EQ(picture.width, c.width);
      EXPECT_EQ(picture.height, c.height);
      EXPECT_EQ(picture.format, PIX_FMT_YUV420P);
      ExpectPlanesMatch(picture.bytes, clip.pictures[i], c.width, c.height);
    }
  }
}

TEST(FFDecoderTest, AChangeOfPictureSizeGetsANewBuffer) {
  auto small = EncodeGradientClip(64, 48, 2);
  auto large = EncodeGradientClip(96, 80, 2, 10);
  CapturingDecoder decoder;
  ASSERT_EQ(decoder.Open(), 1);
  for (const Bytes& packet : small.packets)
    decoder.Decode(packet);
  for (const Bytes& packet : large.packets)
    decoder.Decode(packet);
  for (const Bytes& packet : small.packets)
    decoder.Decode(packet);

  ASSERT_EQ(decoder.pictures.size(), 6u);
  EXPECT_EQ(decoder.pictures[1].bytes.size(), 64u * 48 * 3 / 2);
  EXPECT_EQ(decoder.pictures[2].bytes.size(), 96u * 80 * 3 / 2);
  EXPECT_EQ(decoder.pictures[2].width, 96);
  EXPECT_EQ(decoder.pictures[2].height, 80);
  ExpectPlanesMatch(decoder.pictures[3].bytes, large.pictures[1], 96, 80);
  EXPECT_EQ(decoder.pictures[4].width, 64);
  ExpectPlanesMatch(decoder.pictures[5].bytes, small.pictures[1], 64, 48);
}

TEST(FFDecoderTest, TwoPicturesInOnePacketReachTheHookTwiceInOrder) {
  auto clip = EncodeGradientClip(64, 48, 4);
  Bytes joined = clip.packets[1];
  joined.insert(joined.end(), clip.packets[2].begin(), clip.packets[2].end());

  CapturingDecoder decoder;
  ASSERT_EQ(decoder.Open(), 1);
  decoder.Decode(clip.packets[0]);
  decoder.Decode(joined);
  decoder.Decode(clip.packets[3]);
  ASSERT_EQ(decoder.pictures.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    ExpectPlanesMatch(decoder.pictures[i].bytes, clip.pictures[i], 64, 48);
}

uint32_t g_ticks = 0;
uint32_t FakeTicks() {
  return g_ticks;
}

TEST(FFDecoderTest, LogsTheFirstPictureOnceAndTheRateEveryTenSeconds) {
  auto clip = EncodeGradientClip(32, 32, 32);
  sorvo::test::LogCapture capture;
  sorvo::SetTickSourceForTesting(&FakeTicks);
  CapturingDecoder decoder;
  ASSERT_EQ(decoder.Open(), 1);

  g_ticks = 20000;
  decoder.Decode(clip.packets[0]);
  g_ticks = 29999;
  for (int i = 1; i < 30; ++i)
    decoder.Decode(clip.packets[i]);
  g_ticks = 30000;
  decoder.Decode(clip.packets[30]);
  sorvo::SetTickSourceForTesting(nullptr);

  std::vector<std::string> rates;
  for (const auto& line : capture.Lines())
    if (line.level == SORVO_LOG_DEBUG)
      rates.push_back(line.text);
  // The first picture reports at once (nothing was reported at tick 0); 30 pictures later,
  // ten seconds on, the rate is 30 / 10.
  EXPECT_EQ(rates, (std::vector<std::string>{"解码视频  帧率:0", "解码视频  帧率:3"}));
  EXPECT_EQ(InfoLines(capture, "FFDecode:解码开始得到第一帧图像,"), 1);

  // Open on an open decoder changes nothing; after Close and Open the first picture is
  // announced again.
  EXPECT_EQ(decoder.Open(), 1);
  decoder.Decode(clip.packets[31]);
  EXPECT_EQ(InfoLines(capture, "FFDecode:解码开始得到第一帧图像,"), 1);
  EXPECT_EQ(decoder.Close(), 1);
  EXPECT_EQ(decoder.Close(), 1);
  EXPECT_EQ(decoder.Open(), 1);
  decoder.Decode(clip.packets[0]);
  EXPECT_EQ(InfoLines(capture, "FFDecode:解码开始得到第一帧图像,"), 2);
  EXPECT_EQ(decoder.pictures.size(), 33u);
}

TEST(FFDecoderTest, PacketsItCannotTakeAreIgnoredWithoutAHook) {
  auto clip = EncodeGradientClip(32, 32, 1);
  CapturingDecoder decoder;
  decoder.Decode(clip.packets[0]);  // not open yet
  ASSERT_EQ(decoder.Open(), 1);
  decoder.DecodePacket(nullptr);

  sorvo::PacketPtr packet(av_packet_alloc());
  packet->data = nullptr;
  packet->size = 100;
  decoder.DecodePacket(packet.get());
  packet->data = clip.packets[0].data();
  for (int size : {0, -1, 25000000}) {
    packet->size = size;  // the 25,000,000 bytes are never read
    decoder.DecodePacket(packet.get());
  }
  EXPECT_TRUE(decoder.pictures.empty());

  decoder.Close();
  decoder.Decode(clip.packets[0]);  // closed again
  EXPECT_TRUE(decoder.pictures.empty());
}

TEST(FFDecoderTest, AGarbagePacketIsDroppedWithTheMessageAndTheNextOneDecodes) {
  auto clip = EncodeGradientClip(64, 48, 2);
  Bytes garbage(1000);
  uint32_t state = 12345;
  for (unsigned char& byte : garbage) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(state >> 24);
  }

  CapturingDecoder decoder;
  ASSERT_EQ(decoder.Open(), 1);
  decoder.Decode(clip.packets[0]);
  testing::internal::CaptureStderr();
  decoder.Decode(garbage);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_THAT(message, testing::HasSubstr("Error while decoding frame 0\n"));
  decoder.Decode(clip.packets[1]);

  ASSERT_EQ(decoder.pictures.size(), 2u);
  ExpectPlanesMatch(decoder.pictures[1].bytes, clip.pictures[1], 64, 48);
}

// Start codes cut short, repeated, or seemingly straddling two packets: FFmpeg's MPEG-4 parser
// read before its own buffer on this sequence; every packet must end without a crash or a hang.
TEST(FFDecoderTest, FragmentsOfStartCodesNeitherCrashNorHang) {
  CapturingDecoder decoder;
  ASSERT_EQ(decoder.Open(), 1);
  const std::vector<Bytes> odd = {{0x00, 0x00, 0x01, 0xB6},
                                  {0x00},
                                  {0x00, 0x00, 0x01},
                                  {0x00, 0x00, 0x01, 0xB0, 0x00},
                                  {0x00, 0x00, 0x01, 0xB6, 0x00, 0x00, 0x01, 0xB6},
                                  Bytes(64, 0x00),
                                  Bytes(3, 0xFF)};
  testing::internal::CaptureStderr();
  for (int round = 0; round < 3; ++round)
    for (const Bytes& packet : odd)
      decoder.Decode(packet);
  testing::internal::GetCapturedStderr();
  // The decoder still works afterwards.
  auto clip = EncodeGradientClip(32, 32, 1);
  decoder.Decode(clip.packets[0]);
  EXPECT_EQ(decoder.pictures.size(), 1u);
}

}  // namespace
