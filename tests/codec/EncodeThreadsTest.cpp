#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "codec/FFDeleters.h"
#include "common/CodecTestSupport.h"
#include "common/TestAppDir.h"
#include "host/MediaBase.h"

namespace {

using sorvo::test::Mpeg4Decoder;
using sorvo::test::Picture;
using sorvo::test::RecordingEncoder;
using sorvo::test::TestAppDir;

constexpr int kRate = 25;
constexpr int kBitRate = 2000000;

// A BGR24 picture of soft gradients with a block moving across it.
std::vector<uint8_t> MovingBgr(int width, int height, int frame) {
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
  const int box = height / 4, left = (frame * width / 40) % (width - box);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &picture[(static_cast<size_t>(y) * width + x) * 3];
      const bool inBox = x >= left && x < left + box && y >= box && y < 2 * box;
      p[0] = static_cast<uint8_t>(inBox ? 30 : x * 255 / width);
      p[1] = static_cast<uint8_t>(inBox ? 200 : y * 255 / height);
      p[2] = static_cast<uint8_t>(inBox ? 90 : (x + y + frame * 8) / 16);
    }
  return picture;
}

int EncodeMoving(RecordingEncoder& encoder, int width, int height, int count) {
  int encoded = 0;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> picture = MovingBgr(width, height, i);
    encoded += encoder.Encode(i, i / static_cast<double>(kRate), picture.data(),
                              static_cast<long>(picture.size()));
  }
  return encoded;
}

TEST(EncodeThreadsTest, A4kCameraIsCodedOnSeveralThreadsAndDecodesCleanly) {
  TestAppDir dir;
  constexpr int kW = 3840, kH = 2160, kPictures = 6;
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_BGR24, kRate, kBitRate, "4k"), 1);
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  if (cores < 2)
    GTEST_SKIP() << "one core: nothing to spread the work over";
  // One thread per 1920 x 1088 begun, as far as the cores go.
  EXPECT_EQ(encoder.GetCodecContext()->thread_count, std::min(cores, 4));
  EXPECT_EQ(encoder.GetCodecContext()->active_thread_type, FF_THREAD_SLICE);
  ASSERT_EQ(EncodeMoving(encoder, kW, kH, kPictures), kPictures);
  // The MP4's decoder configuration says what the sliced stream's own headers say.
  const AVCodecContext* context = encoder.GetCodecContext();
  const std::vector<uint8_t>& key = encoder.packets[0].data;
  ASSERT_GE(key.size(), static_cast<size_t>(context->extradata_size));
  EXPECT_TRUE(
      std::equal(context->extradata, context->extradata + context->extradata_size, key.begin()));

  Mpeg4Decoder decoder(/*strict=*/true);
  for (int i = 0; i < kPictures; ++i) {
    const std::vector<Picture> pictures = decoder.Decode(encoder.packets[i].data);
    ASSERT_EQ(pictures.size(), 1u) << i;
    // Every slice decodes to the picture that went in, seams between bands and slices
    // included: no band converted from the wrong rows, no slice lost.
    const std::vector<uint8_t> bgr = MovingBgr(kW, kH, i);
    for (int row = 0; row < kH; row += 8) {
      double difference = 0;
      for (int x = 0; x < kW; ++x) {
        const uint8_t* p = &bgr[(static_cast<size_t>(row) * kW + x) * 3];
        const double luma = 16 + (65.481 * p[2] + 128.553 * p[1] + 24.966 * p[0]) / 255;
        difference += std::abs(pictures[0].y[row * kW + x] - luma);
      }
      ASSERT_LT(difference / kW, 8) << "picture " << i << " row " << row;
    }
  }
  EXPECT_EQ(decoder.errors, 0);
}

TEST(EncodeThreadsTest, TheSettingForcesTheThreadsWhateverTheSize) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Video]\nEncodeThreads=3\n");
  RecordingEncoder small;
  ASSERT_EQ(small.Open(640, 480, PIX_FMT_BGR24, kRate, kBitRate, "small"), 1);
  EXPECT_EQ(small.GetCodecContext()->thread_count, 3);

  dir.WriteFile("SettingVideo.ini", "[Video]\nEncodeThreads=1\n");
  RecordingEncoder large;
  ASSERT_EQ(large.Open(3840, 2160, PIX_FMT_BGR24, kRate, kBitRate, "large"), 1);
  EXPECT_EQ(large.GetCodecContext()->thread_count, 1);
}

// What this encoder wrote before it knew threads or levels: libavcodec's default single
// thread, the same settings, the same conversion.
std::vector<std::vector<uint8_t>> EncodeAsBefore(int width, int height, int count) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->width = width;
  context->height = height;
  context->time_base = AVRational{1, kRate};
  context->framerate = AVRational{kRate, 1};
  context->gop_size = kRate;
  context->max_b_frames = 0;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->bit_rate = kBitRate;
  std::vector<std::vector<uint8_t>> packets;
  if (avcodec_open2(context.get(), codec, nullptr) < 0)
    return packets;
  sorvo::FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame.get(), 0);
  sorvo::PacketPtr packet(av_packet_alloc());
  for (int i = 0; i < count; ++i) {
    av_frame_make_writable(frame.get());
    std::vector<uint8_t> bgr = MovingBgr(width, height, i);
    ConvertRGBToYV420P(bgr.data(), width, height, PIX_FMT_BGR24, frame.get());
    frame->pts = i;
    if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0)
      break;
    packets.emplace_back(packet->data, packet->data + packet->size);
    av_packet_unref(packet.get());
  }
  return packets;
}

TEST(EncodeThreadsTest, A720pStreamStaysByteForByteTheSingleThreadStream) {
  TestAppDir dir;
  constexpr int kW = 1280, kH = 720, kPictures = 30;
  RecordingEncoder encoder;
  ASSERT_EQ(encoder.Open(kW, kH, PIX_FMT_BGR24, kRate, kBitRate, "720p"), 1);
  EXPECT_EQ(encoder.GetCodecContext()->thread_count, 1);
  ASSERT_EQ(EncodeMoving(encoder, kW, kH, kPictures), kPictures);
  const std::vector<std::vector<uint8_t>> before = EncodeAsBefore(kW, kH, kPictures);
  ASSERT_EQ(before.size(), static_cast<size_t>(kPictures));
  for (int i = 0; i < kPictures; ++i) {
    std::vector<uint8_t> now = encoder.packets[i].data;
    ASSERT_EQ(now.size(), before[i].size()) << i;
    // The one byte that changed: profile_and_level_indication after the sequence start
    // code of each key frame, level 1 then, level 6 now.
    if (encoder.packets[i].key()) {
      ASSERT_EQ(before[i][4], 0x01) << i;
      ASSERT_EQ(now[4], 0x06) << i;
      now[4] = before[i][4];
    }
    EXPECT_TRUE(now == before[i]) << "picture " << i << " differs";
  }
}

}  // namespace
