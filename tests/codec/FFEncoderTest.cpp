#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFEncoder.h"
#include "common/CodecTestSupport.h"
#include "common/LogCapture.h"
#include "host/MediaBase.h"
#include "support/CodecMutexes.h"

namespace {

using sorvo::test::MovingYuvPicture;
using sorvo::test::Mpeg4Decoder;
using sorvo::test::Picture;
using sorvo::test::RecordingEncoder;
using sorvo::test::SeenPacket;
using sorvo::test::SolidPackedPicture;

constexpr int kW = 176;
constexpr int kH = 144;

bool StartsWith(const std::vector<uint8_t>& data, const uint8_t* prefix, int size) {
  return static_cast<int>(data.size()) >= size && std::memcmp(data.data(), prefix, size) == 0;
}

bool Contains(const std::vector<uint8_t>& data, const std::vector<uint8_t>& needle) {
  return std::search(data.begin(), data.end(), needle.begin(), needle.end()) != data.end();
}

double Mean(const std::vector<uint8_t>& plane) {
  double sum = 0;
  for (uint8_t v : plane)
    sum += v;
  return plane.empty() ? 0 : sum / plane.size();
}

int EncodeMoving(FFEncoder& encoder, int width, int height, int count, int first = 0) {
  int produced = 0;
  for (int i = first; i < first + count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(width, height, i);
    produced += encoder.Encode(i, i * 0.04, picture.data(), static_cast<long>(picture.size()));
  }
  return produced;
}

TEST(FFEncoderTest, BadOpenArgumentsChangeNothingAndTakeNoMutex) {
  // The mutex is held elsewhere: an Open that tried to take it would not return.
  RecordingEncoder encoder;
  std::unique_lock<std::mutex> held(sorvo::VideoEncoderMutex());
  auto attempt = std::async(std::launch::async, [&encoder] {
    int opened = 0;
    opened += encoder.Open(0, kH, PIX_FMT_YUV420P, 25, 400000, "w0");
    opened += encoder.Open(kW, 0, PIX_FMT_YUV420P, 25, 400000, "h0");
    opened += encoder.Open(kW, kH, PIX_FMT_YUV420P, 0, 400000, "fps0");
    opened += encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 0, "bps0");
    opened += encoder.Open(kW, kH, PIX_FMT_NONE, 25, 400000, "fmt-1");
    opened += encoder.Open(-4, kH, PIX_FMT_YUV420P, 25, 400000, "neg");
    return opened;
  });
  const bool returned = attempt.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  held.unlock();
  ASSERT_TRUE(returned);
  EXPECT_EQ(attempt.get(), 0);
  EXPECT_EQ(encoder.IsOpen(), 0);
  EXPECT_EQ(encoder.GetCodecContext(), nullptr);
  EXPECT_EQ(encoder.GetEncoderWidth(), 0);
  EXPECT_EQ(encoder.GetLabel(), "");
}

TEST(FFEncoderTest, GreyInputOpensAsYuvAndCodesLumaOnly) {
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_GRAY8, 25, 400000, "grey"), 1);
  AVCodecContext* context = encoder.GetCodecContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(context->flags & AV_CODEC_FLAG_GRAY);
  EXPECT_EQ(encoder.GetInputFormat(), PIX_FMT_YUV420P);
  EXPECT_EQ(encoder.GetLabel(), "grey");

  // A full YUV buffer with strong colour: only its luma may survive.
  const std::vector<uint8_t> picture = MovingYuvPicture(kW, kH, 0);
  ASSERT_EQ(
      encoder.Encode(0, 0, const_cast<uint8_t*>(picture.data()), static_cast<long>(picture.size())),
      1);
  Mpeg4Decoder decoder;
  std::vector<Picture> pictures = decoder.Decode(encoder.packets[0].data);
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_NEAR(Mean(pictures[0].u), 128, 1.0);
  EXPECT_NEAR(Mean(pictures[0].v), 128, 1.0);
  EXPECT_NEAR(Mean(pictures[0].y), Mean({picture.begin(), picture.begin() + kW * kH}), 4.0);
}

TEST(FFEncoderTest, OnePacketPerPictureStampedWithItsSlotAndKeyFlagOnKeyFramesOnly) {
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  ASSERT_EQ(EncodeMoving(encoder, kW, kH, 60), 60);
  ASSERT_EQ(encoder.packets.size(), 60u);

  const uint8_t vopStart[] = {0, 0, 1, 0xB6};
  const uint8_t vosStart[] = {0, 0, 1, 0xB0};
  Mpeg4Decoder decoder;
  for (int i = 0; i < 60; ++i) {
    const SeenPacket& p = encoder.packets[i];
    EXPECT_EQ(p.key(), i % 25 == 0) << i;
    EXPECT_EQ(p.flags & ~AV_PKT_FLAG_KEY, 0) << i;
    // Captured every 1/25 s: picture i is at i frame intervals, each lasting one.
    EXPECT_EQ(p.pts, i) << i;
    EXPECT_EQ(p.dts, i) << i;
    EXPECT_EQ(p.duration, 1) << i;
    EXPECT_EQ(p.timeBaseNum, 1) << i;
    EXPECT_EQ(p.timeBaseDen, 25) << i;
    EXPECT_EQ(p.pos, -1) << i;
    EXPECT_EQ(p.streamIndex, 0) << i;
    EXPECT_TRUE(StartsWith(p.data, p.key() ? vosStart : vopStart, 4)) << i;
    // Packets come in picture order: each decodes to exactly the picture that went in.
    std::vector<Picture> pictures = decoder.Decode(p.data);
    ASSERT_EQ(pictures.size(), 1u) << i;
    EXPECT_NEAR(pictures[0].y[kW * 10 + 10], MovingYuvPicture(kW, kH, i)[kW * 10 + 10], 12) << i;
  }
  EXPECT_EQ(decoder.errors, 0);
}

TEST(FFEncoderTest, KeyFramesKeepInbandHeadersAndTheContextCarriesThemAsExtradata) {
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  AVCodecContext* context = encoder.GetCodecContext();
  EXPECT_FALSE(context->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  ASSERT_GT(context->extradata_size, 0);
  const std::vector<uint8_t> extradata(context->extradata,
                                       context->extradata + context->extradata_size);
  const std::vector<uint8_t> volStart = {0, 0, 1, 0x20};
  EXPECT_TRUE(Contains(extradata, volStart));

  ASSERT_EQ(EncodeMoving(encoder, kW, kH, 51), 51);
  for (int key : {0, 25, 50}) {
    const SeenPacket& p = encoder.packets[key];
    ASSERT_TRUE(p.key());
    EXPECT_TRUE(StartsWith(p.data, extradata.data(), static_cast<int>(extradata.size()))) << key;
  }
  // A client that joins at the second key frame decodes from there on.
  Mpeg4Decoder late;
  for (int i = 25; i < 51; ++i)
    EXPECT_EQ(late.Decode(encoder.packets[i].data).size(), 1u) << i;
  EXPECT_EQ(late.errors, 0);
}

TEST(FFEncoderTest, FormatsWithoutAnInputPathOpenButEncodeNothingAndSaySo) {
  // Packed YUV 4:2:2 (1) and planar YUV 4:2:2 (4) have no way into the encoder.
  for (PixelFormat format : {static_cast<PixelFormat>(1), static_cast<PixelFormat>(4)}) {
    sorvo::test::LogCapture log;
    RecordingEncoder encoder;
    ASSERT_EQ(encoder.Open(kW, kH, format, 25, 400000, "odd"), 1) << format;
    EXPECT_EQ(encoder.IsOpen(), 1);
    std::vector<uint8_t> picture(kW * kH * 4, 0x40);
    EXPECT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 0);
    EXPECT_TRUE(encoder.packets.empty());
    ASSERT_EQ(log.Lines().size(), 1u) << format;
    EXPECT_EQ(log.Lines()[0].level, SORVO_LOG_WARN);
    EXPECT_NE(log.Lines()[0].text.find("pixel format " + std::to_string(format)),
              std::string::npos)
        << log.Lines()[0].text;
  }
}

TEST(FFEncoderTest, EncodeOnAClosedEncoderOrWithTooLittleDataDoesNothing) {
  RecordingEncoder encoder;
  std::vector<uint8_t> picture = MovingYuvPicture(kW, kH, 0);
  EXPECT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 0);
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  EXPECT_EQ(encoder.Encode(0, 0, nullptr, static_cast<long>(picture.size())), 0);
  EXPECT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size()) - 1), 0);
  EXPECT_TRUE(encoder.packets.empty());
  EXPECT_EQ(encoder.Close(), 1);
  EXPECT_EQ(encoder.Close(), 1);
  EXPECT_EQ(encoder.IsOpen(), 0);
  EXPECT_EQ(encoder.GetCodecContext(), nullptr);
  EXPECT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 0);
  EXPECT_TRUE(encoder.packets.empty());
  // Open after Close starts afresh with a key frame.
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  ASSERT_EQ(EncodeMoving(encoder, kW, kH, 2), 2);
  EXPECT_TRUE(encoder.packets[0].key());
}

struct ColourCase {
  PixelFormat format;
  uint8_t r, g, b;
  int y, u, v;  // BT.601, limited range
};

TEST(FFEncoderTest, PackedInputIsConvertedWithItsChannelOrder) {
  const ColourCase cases[] = {
      {PIX_FMT_RGB24, 255, 0, 0, 81, 90, 240}, {PIX_FMT_BGR24, 255, 0, 0, 81, 90, 240},
      {PIX_FMT_BGRA, 255, 0, 0, 81, 90, 240},  {PIX_FMT_RGB24, 0, 0, 255, 41, 240, 110},
      {PIX_FMT_BGR24, 0, 255, 0, 145, 54, 34}, {PIX_FMT_BGRA, 0, 0, 255, 41, 240, 110},
      {PIX_FMT_ARGB, 255, 0, 0, 81, 90, 240},  {PIX_FMT_RGBA, 0, 255, 0, 145, 54, 34},
      {PIX_FMT_ABGR, 0, 0, 255, 41, 240, 110},
  };
  for (const ColourCase& c : cases) {
    RecordingEncoder encoder;
    ASSERT_EQ(encoder.Open(kW, kH, c.format, 25, 800000, "rgb"), 1);
    std::vector<uint8_t> picture = SolidPackedPicture(c.format, kW, kH, c.r, c.g, c.b);
    ASSERT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 1);
    Mpeg4Decoder decoder;
    std::vector<Picture> pictures = decoder.Decode(encoder.packets[0].data);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_NEAR(Mean(pictures[0].y), c.y, 6) << c.format << " " << int(c.r) << int(c.g);
    EXPECT_NEAR(Mean(pictures[0].u), c.u, 6) << c.format << " " << int(c.r) << int(c.g);
    EXPECT_NEAR(Mean(pictures[0].v), c.v, 6) << c.format << " " << int(c.r) << int(c.g);
  }
}

TEST(FFEncoderTest, OddSizesEncodeAndDecodeAsTheyAre) {
  for (PixelFormat format : {PIX_FMT_YUV420P, PIX_FMT_BGR24}) {
    for (int size : {101, 641}) {
      const int w = size, h = size == 101 ? 101 : 481;
      RecordingEncoder encoder;
      ASSERT_EQ(encoder.Open(w, h, format, 25, 800000, "odd"), 1);
      Mpeg4Decoder decoder;
      for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> picture = format == PIX_FMT_YUV420P
                                           ? MovingYuvPicture(w, h, i)
                                           : SolidPackedPicture(format, w, h, 0, 255, 0);
        ASSERT_EQ(encoder.Encode(i, 0, picture.data(), static_cast<long>(picture.size())), 1);
        std::vector<Picture> pictures = decoder.Decode(encoder.packets.back().data);
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].width, w);
        EXPECT_EQ(pictures[0].height, h);
        // The last row and column carry the picture too, not padding.
        const uint8_t expected = format == PIX_FMT_YUV420P ? picture[w * h - 1] : 145;
        EXPECT_NEAR(pictures[0].y[w * h - 1], expected, 16) << w << "x" << h;
      }
    }
  }
}

TEST(FFEncoderTest, OpeningAnOpenEncoderAgainUsesTheNewSize) {
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_BGR24, 25, 400000, "small"), 1);
  ASSERT_EQ(encoder.Open(320, 240, PIX_FMT_BGR24, 25, 400000, "large"), 1);
  std::vector<uint8_t> picture = SolidPackedPicture(PIX_FMT_BGR24, 320, 240, 255, 0, 0);
  ASSERT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 1);
  Mpeg4Decoder decoder;
  std::vector<Picture> pictures = decoder.Decode(encoder.packets[0].data);
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(pictures[0].width, 320);
  EXPECT_EQ(pictures[0].height, 240);
  EXPECT_EQ(encoder.GetLabel(), "large");
}

TEST(FFEncoderTest, SharedContextOutlivesCloseAndDestruction) {
  sorvo::SharedCodecContext shared;
  {
    RecordingEncoder encoder;
    ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 30, 400000, "cam"), 1);
    shared = encoder.ShareCodecContext();
    ASSERT_EQ(shared.get(), encoder.GetCodecContext());
    EXPECT_EQ(encoder.Close(), 1);
    EXPECT_EQ(encoder.ShareCodecContext(), nullptr);
    // Destroying an open encoder closes it.
    ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "again"), 1);
  }
  ASSERT_TRUE(shared);
  EXPECT_EQ(shared->time_base.num, 1);
  EXPECT_EQ(shared->time_base.den, 30);
  EXPECT_EQ(shared->width, kW);
  EXPECT_GT(shared->extradata_size, 0);
}

// Closes its own encoder from the hook, as an owner reacting to a full disk might.
class SelfClosingEncoder : public RecordingEncoder {
 protected:
  void OnEncode(AVPacket* packet) override {
    RecordingEncoder::OnEncode(packet);
    Close();
  }
};

TEST(FFEncoderTest, AHookMayCloseItsEncoder) {
  SelfClosingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  EXPECT_EQ(EncodeMoving(encoder, kW, kH, 2), 1);
  EXPECT_EQ(encoder.IsOpen(), 0);
  EXPECT_EQ(encoder.packets.size(), 1u);
}

TEST(FFEncoderTest, EncodersOnSeveralThreadsOpenEncodeAndCloseTogether) {
  std::vector<std::thread> threads;
  std::vector<int> produced(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &produced] {
      for (int round = 0; round < 3; ++round) {
        RecordingEncoder encoder;
        if (encoder.Open(kW, kH, t % 2 ? PIX_FMT_BGR24 : PIX_FMT_YUV420P, 25, 300000, "t") != 1)
          continue;
        std::vector<uint8_t> picture = t % 2 ? SolidPackedPicture(PIX_FMT_BGR24, kW, kH, 9, 99, 199)
                                             : MovingYuvPicture(kW, kH, round);
        for (int i = 0; i < 4; ++i)
          produced[t] += encoder.Encode(i, 0, picture.data(), static_cast<long>(picture.size()));
        encoder.Close();
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(produced[t], 12) << t;
}

}  // namespace
