#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "common/CodecTestSupport.h"
#include "codec/FFAudioDecoder.h"
#include "codec/FFDeleters.h"

namespace {

using sorvo::test::FirstChannel;
using sorvo::test::MovingYuvPicture;
using sorvo::test::RecordingAudioEncoder;
using sorvo::test::RecordingEncoder;
using sorvo::test::StrongestFrequency;
using sorvo::test::Tone;

constexpr int kRate = 44100;
constexpr int kFrame = 1152;

using RecordingDecoder = sorvo::test::RecordingAudioDecoder;

// MP3 packets of a tone: `seconds` of it at 44.1 kHz.
std::vector<std::vector<uint8_t>> Mp3Tone(int channels, double seconds, double frequency = 440) {
  RecordingAudioEncoder encoder;
  EXPECT_EQ(encoder.Open(channels, kRate, 64000 * channels), 1);
  const int frames = static_cast<int>(seconds * kRate / kFrame);
  for (int f = 0; f < frames; ++f) {
    std::vector<uint8_t> pcm = Tone(frequency, kRate, channels, f * kFrame, kFrame, 12000);
    encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
  }
  std::vector<std::vector<uint8_t>> packets;
  for (const auto& p : encoder.packets)
    packets.push_back(p.data);
  return packets;
}

int DecodeBytes(FFAudioDecoder& decoder, const std::vector<uint8_t>& bytes) {
  return decoder.Decode(bytes.data(), static_cast<int>(bytes.size()));
}

TEST(FFAudioDecoderTest, LearnsTheWaveFormatFromTheFirstFrame) {
  const auto packets = Mp3Tone(2, 0.2);
  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  EXPECT_EQ(decoder.IsOpen(), 1);
  WAVEFORMATEX format;
  std::memset(&format, 0xEE, sizeof(format));
  EXPECT_EQ(decoder.GetWaveFormat(&format), 0);
  EXPECT_EQ(format.nChannels, 0xEEEE);  // untouched
  EXPECT_EQ(decoder.GetWaveFormat(nullptr), 0);

  ASSERT_EQ(DecodeBytes(decoder, packets[0]), 1);
  ASSERT_EQ(decoder.frames.size(), 1u);
  EXPECT_EQ(decoder.frames[0].size(), static_cast<size_t>(kFrame * 2 * 2));
  ASSERT_EQ(decoder.GetWaveFormat(&format), 1);
  EXPECT_EQ(format.wFormatTag, 1);
  EXPECT_EQ(format.nChannels, 2);
  EXPECT_EQ(format.nSamplesPerSec, 44100u);
  EXPECT_EQ(format.nBlockAlign, 4);
  EXPECT_EQ(format.nAvgBytesPerSec, 4u * 44100);
  EXPECT_EQ(format.wBitsPerSample, 16);
  EXPECT_EQ(format.cbSize, 18);
  // Close forgets it.
  EXPECT_EQ(decoder.Close(), 1);
  EXPECT_EQ(decoder.Close(), 1);
  EXPECT_EQ(decoder.GetWaveFormat(&format), 0);
  EXPECT_EQ(DecodeBytes(decoder, packets[1]), 0);
}

TEST(FFAudioDecoderTest, AnEmptyPacketDecodesToNothing) {
  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  AVPacket* packet = av_packet_alloc();
  EXPECT_EQ(decoder.DecodePacket(packet), 1);
  EXPECT_EQ(decoder.DecodePacket(nullptr), 0);
  av_packet_free(&packet);
  EXPECT_TRUE(decoder.frames.empty());
}

TEST(FFAudioDecoderTest, ThreeFramesInOnePacketGiveThreeCallsInStreamOrder) {
  const auto packets = Mp3Tone(2, 0.3);
  ASSERT_GE(packets.size(), 6u);
  RecordingDecoder oneByOne;
  ASSERT_EQ(oneByOne.Open(nullptr, AV_CODEC_ID_MP3), 1);
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(DecodeBytes(oneByOne, packets[i]), 1);

  std::vector<uint8_t> joined;
  for (int i = 0; i < 3; ++i)
    joined.insert(joined.end(), packets[i].begin(), packets[i].end());
  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  AVPacket* packet = av_packet_alloc();
  packet->data = joined.data();
  packet->size = static_cast<int>(joined.size());
  packet->pts = 4242;
  EXPECT_EQ(decoder.DecodePacket(packet), 1);
  EXPECT_EQ(packet->size, 0);
  EXPECT_EQ(packet->data, joined.data() + joined.size());
  av_packet_free(&packet);
  ASSERT_EQ(decoder.frames.size(), 3u);
  EXPECT_EQ(decoder.frames, oneByOne.frames);
  EXPECT_EQ(decoder.pts, std::vector<int64_t>(3, 4242));
}

TEST(FFAudioDecoderTest, GarbageIsAnErrorAndTheNextGoodPacketDecodes) {
  const auto packets = Mp3Tone(2, 0.3);
  std::vector<uint8_t> noise(600);
  uint32_t state = 12345;
  for (uint8_t& b : noise)
    b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
  std::vector<uint8_t> syncs(400, 0xFF);  // nothing but sync bits
  std::vector<uint8_t> halfFrame(packets[1].begin(), packets[1].begin() + packets[1].size() / 2);
  RecordingEncoder video;
  ASSERT_EQ(video.Open(176, 144, PIX_FMT_YUV420P, 25, 400000, "v"), 1);
  std::vector<uint8_t> picture = MovingYuvPicture(176, 144, 0);
  ASSERT_EQ(video.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 1);
  std::vector<uint8_t> frameThenNoise = packets[2];
  frameThenNoise.insert(frameThenNoise.end(), noise.begin(), noise.begin() + 50);

  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  ASSERT_EQ(DecodeBytes(decoder, packets[0]), 1);
  size_t good = 1;
  for (const std::vector<uint8_t>* bad : {&noise, &syncs, &video.packets[0].data}) {
    EXPECT_EQ(DecodeBytes(decoder, *bad), 0) << bad->size();
    EXPECT_EQ(decoder.frames.size(), good) << bad->size();
    EXPECT_EQ(DecodeBytes(decoder, packets[3]), 1) << bad->size();
    EXPECT_EQ(decoder.frames.size(), ++good) << bad->size();
  }
  // A frame cut short is the codec's to judge, but it never swallows the next packet.
  DecodeBytes(decoder, halfFrame);
  good = decoder.frames.size();
  EXPECT_EQ(DecodeBytes(decoder, packets[3]), 1);
  EXPECT_EQ(decoder.frames.size(), ++good);
  // A whole frame followed by bytes that are none: the frame is delivered, then the error.
  EXPECT_EQ(DecodeBytes(decoder, frameThenNoise), 0);
  EXPECT_EQ(decoder.frames.size(), ++good);
  EXPECT_EQ(DecodeBytes(decoder, packets[4]), 1);
  EXPECT_EQ(decoder.frames.size(), ++good);
}

TEST(FFAudioDecoderTest, ATone440HzSurvivesTheMp3RoundTrip) {
  const auto packets = Mp3Tone(2, 1.0);
  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  for (const auto& p : packets)
    ASSERT_EQ(DecodeBytes(decoder, p), 1);
  ASSERT_GE(decoder.pcm.size(), static_cast<size_t>(kRate / 2 * 4));
  std::vector<int16_t> left = FirstChannel(decoder.pcm, 2);
  // Skip the codec's start-up silence, then look at a quarter second.
  std::vector<int16_t> window(left.begin() + 4096, left.begin() + 4096 + kRate / 4);
  EXPECT_NEAR(StrongestFrequency(window, kRate, 100, 2000, 4), 440, 4);
  double energy = 0;
  for (int16_t s : window)
    energy += double(s) * s;
  EXPECT_NEAR(std::sqrt(energy / window.size()), 12000 / std::sqrt(2.0), 1200);
}

TEST(FFAudioDecoderTest, OpenFailuresPrintTheirLine) {
  RecordingDecoder decoder;
  testing::internal::CaptureStderr();
  EXPECT_EQ(decoder.Open(nullptr, 0x7FFF0000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "m_pAVCodec not found\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MPEG4), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not open m_pAVCodec\n");
  EXPECT_EQ(decoder.IsOpen(), 0);
  std::vector<uint8_t> bytes(10, 0);
  EXPECT_EQ(DecodeBytes(decoder, bytes), 0);
}

TEST(FFAudioDecoderTest, ACallersContextIsUsedAndLeftToTheCaller) {
  // AAC from FFmpeg's own encoder: planar float, with its configuration in extradata.
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  ASSERT_NE(aac, nullptr);
  sorvo::CodecContextPtr encoder(avcodec_alloc_context3(aac));
  encoder->sample_rate = kRate;
  encoder->bit_rate = 128000;
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&encoder->ch_layout, 1);
  encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ASSERT_EQ(avcodec_open2(encoder.get(), aac, nullptr), 0);

  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  context->sample_rate = kRate;
  av_channel_layout_default(&context->ch_layout, 1);
  context->extradata =
      static_cast<uint8_t*>(av_mallocz(encoder->extradata_size + AV_INPUT_BUFFER_PADDING_SIZE));
  std::memcpy(context->extradata, encoder->extradata, encoder->extradata_size);
  context->extradata_size = encoder->extradata_size;

  RecordingDecoder decoder;
  ASSERT_EQ(decoder.Open(context, AV_CODEC_ID_AAC), 1);
  sorvo::FramePtr frame(av_frame_alloc());
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = encoder->frame_size;
  av_channel_layout_default(&frame->ch_layout, 1);
  av_frame_get_buffer(frame.get(), 0);
  sorvo::PacketPtr packet(av_packet_alloc());
  for (int f = 0; f < 40; ++f) {
    av_frame_make_writable(frame.get());
    auto* samples = reinterpret_cast<float*>(frame->data[0]);
    for (int s = 0; s < frame->nb_samples; ++s)
      samples[s] = 0.3f * std::sin(2 * M_PI * 440 * (f * frame->nb_samples + s) / kRate);
    frame->pts = f * frame->nb_samples;
    avcodec_send_frame(encoder.get(), frame.get());
    while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
      EXPECT_EQ(decoder.DecodePacket(packet.get()), 1);
      av_packet_unref(packet.get());
    }
  }
  ASSERT_GT(decoder.pcm.size(), static_cast<size_t>(kRate / 4 * 2));
  std::vector<int16_t> mono = FirstChannel(decoder.pcm, 1);
  std::vector<int16_t> window(mono.end() - kRate / 8, mono.end());
  EXPECT_NEAR(StrongestFrequency(window, kRate, 100, 2000, 4), 440, 4);
  WAVEFORMATEX format;
  ASSERT_EQ(decoder.GetWaveFormat(&format), 1);
  EXPECT_EQ(format.nChannels, 1);
  EXPECT_EQ(format.nBlockAlign, 2);

  // An open context is someone else's: refused.
  RecordingDecoder second;
  EXPECT_EQ(second.Open(context, AV_CODEC_ID_AAC), 0);
  EXPECT_EQ(decoder.Close(), 1);
  // Still the caller's to free (a double free would show under AddressSanitizer).
  EXPECT_EQ(context->sample_rate, kRate);
  avcodec_free_context(&context);
}

}  // namespace
