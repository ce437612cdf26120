// The program's encoder: key frames by capture time (so that a picture the publisher could
// not take never stretches a GOP), pictures of an instant already encoded left out, odd
// sizes made even, and streams a muxer can take without in-band headers.
#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "PublishTestSupport.h"
#include "tools/record/publish/ProgramEncoder.h"

namespace {

using sorvo::FramePtr;
using sorvo::tools::ProgramEncoder;
using sorvo::tools::PublishSettings;
using sorvo::tools::SharedPacket;

FramePtr Frame(const ProgramEncoder& encoder) {
  FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = encoder.width();
  frame->height = encoder.height();
  EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  return frame;
}

void Fill(AVFrame* frame, long long index) {
  const std::vector<uint8_t> picture =
      sorvo::test::LiveProgram::Draw(frame->width, frame->height, 0, index);
  const uint8_t* planes[3] = {picture.data(), picture.data() + frame->width * frame->height,
                              picture.data() + frame->width * frame->height * 5 / 4};
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    av_image_copy_plane(frame->data[plane], frame->linesize[plane], planes[plane],
                        frame->width >> shift, frame->width >> shift, frame->height >> shift);
  }
}

TEST(ProgramEncoderTest, KeyFramesFollowTheCaptureTimeWhenPicturesAreMissing) {
  PublishSettings settings = sorvo::test::SmallProgram();
  settings.soundChannels = 0;
  ProgramEncoder encoder(settings);
  std::string error;
  ASSERT_TRUE(encoder.Open(&error)) << error;
  std::vector<SharedPacket> packets;
  const auto out = [&](SharedPacket packet) { packets.push_back(std::move(packet)); };
  FramePtr frame = Frame(encoder);
  // Pictures 0 to 29, 45 to 47 and 53 to 129 on the 25/s grid: 15 missing in the first
  // GOP, and the five around the second key frame's mark.
  for (long long n = 0; n < 130; ++n) {
    if ((n >= 30 && n < 45) || (n >= 48 && n < 53))
      continue;
    Fill(frame.get(), n);
    ASSERT_TRUE(encoder.EncodePicture(static_cast<double>(n) / 25, frame.get(), out));
  }
  encoder.Flush(out);
  EXPECT_TRUE(encoder.error().empty()) << encoder.error();
  ASSERT_EQ(packets.size(), 110u);
  std::vector<int64_t> keys;
  for (const SharedPacket& packet : packets)
    if (packet->key)
      keys.push_back(packet->packet->pts);
  // Every two seconds of capture time, not every fifty pictures (which would be at 70): the
  // first picture at or after each mark, and a late one moves no later key frame.
  EXPECT_EQ(keys, (std::vector<int64_t>{0, 53, 100}));
  for (const SharedPacket& packet : packets) {
    EXPECT_TRUE(packet->video);
    EXPECT_DOUBLE_EQ(packet->seconds, packet->packet->pts / 25.0);
  }
  EXPECT_EQ(packets.back()->gop, 3);
}

TEST(ProgramEncoderTest, APictureOfAnInstantAlreadyEncodedIsLeftOut) {
  PublishSettings settings = sorvo::test::SmallProgram();
  settings.soundChannels = 0;
  ProgramEncoder encoder(settings);
  std::string error;
  ASSERT_TRUE(encoder.Open(&error)) << error;
  int packets = 0;
  const auto out = [&](SharedPacket) { ++packets; };
  FramePtr frame = Frame(encoder);
  Fill(frame.get(), 0);
  EXPECT_TRUE(encoder.EncodePicture(1.0, frame.get(), out));
  // The next camera's picture of the same instant, at a switch, and one from before.
  EXPECT_FALSE(encoder.EncodePicture(1.01, frame.get(), out));
  EXPECT_FALSE(encoder.EncodePicture(0.5, frame.get(), out));
  EXPECT_TRUE(encoder.EncodePicture(1.04, frame.get(), out));
  encoder.Flush(out);
  EXPECT_EQ(packets, 2);
}

TEST(ProgramEncoderTest, AnOddSizeLosesALineAndTheStreamsCarryTheirHeaders) {
  PublishSettings settings = sorvo::test::SmallProgram();
  settings.width = 321;
  settings.height = 181;
  ProgramEncoder encoder(settings);
  std::string error;
  ASSERT_TRUE(encoder.Open(&error)) << error;
  EXPECT_EQ(encoder.width(), 320);
  EXPECT_EQ(encoder.height(), 180);
  const auto streams = encoder.streams();
  ASSERT_TRUE(streams->video);
  ASSERT_TRUE(streams->audio);
  EXPECT_EQ(streams->video->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(streams->video->width, 320);
  // FLV takes the parameter sets and the AAC configuration only out of band.
  EXPECT_GT(streams->video->extradata_size, 0);
  EXPECT_EQ(streams->audio->codec_id, AV_CODEC_ID_AAC);
  EXPECT_GT(streams->audio->extradata_size, 0);
  EXPECT_EQ(streams->audio->sample_rate, 44100);
}

}  // namespace
