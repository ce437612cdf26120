#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "codec/FFAudioEncoder.h"
#include "codec/FFDeleters.h"
#include "common/CodecTestSupport.h"

namespace {

using sorvo::test::RecordingAudioEncoder;
using sorvo::test::SeenPacket;
using sorvo::test::Tone;

constexpr int kRate = 44100;
constexpr int kFrame = 1152;  // samples per channel in one MPEG-1 Layer III frame

// What libmp3lame makes of `pcm` (interleaved, stereo) when fed frame by frame directly.
std::vector<std::vector<uint8_t>> ReferenceEncode(const std::vector<uint8_t>& pcm, int bitRate) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP3);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->bit_rate = bitRate;
  context->sample_rate = kRate;
  av_channel_layout_default(&context->ch_layout, 2);
  context->time_base = AVRational{1, kRate};
  context->sample_fmt = AV_SAMPLE_FMT_S16P;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  EXPECT_EQ(avcodec_open2(context.get(), codec, nullptr), 0);
  sorvo::FramePtr frame(av_frame_alloc());
  frame->format = AV_SAMPLE_FMT_S16P;
  frame->nb_samples = kFrame;
  av_channel_layout_default(&frame->ch_layout, 2);
  av_frame_get_buffer(frame.get(), 0);
  sorvo::PacketPtr packet(av_packet_alloc());
  std::vector<std::vector<uint8_t>> packets;
  const size_t frameBytes = kFrame * 2 * 2;
  for (size_t at = 0; at + frameBytes <= pcm.size(); at += frameBytes) {
    av_frame_make_writable(frame.get());
    for (int s = 0; s < kFrame; ++s) {
      for (int c = 0; c < 2; ++c)
        std::memcpy(frame->data[c] + s * 2, &pcm[at + (s * 2 + c) * 2], 2);
    }
    frame->pts = static_cast<int64_t>(at / 4);
    avcodec_send_frame(context.get(), frame.get());
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      packets.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet.get());
    }
  }
  return packets;
}

std::vector<std::vector<uint8_t>> Payloads(const std::vector<SeenPacket>& packets) {
  std::vector<std::vector<uint8_t>> out;
  for (const SeenPacket& p : packets)
    out.push_back(p.data);
  return out;
}

TEST(FFAudioEncoderTest, BadArgumentsReturnZeroWithoutAWord) {
  RecordingAudioEncoder encoder;
  testing::internal::CaptureStderr();
  EXPECT_EQ(encoder.Open(2, 0, 128000), 0);
  EXPECT_EQ(encoder.Open(2, kRate, 0), 0);
  EXPECT_EQ(encoder.Open(-1, kRate, 128000), 0);
  EXPECT_EQ(encoder.Open(2, -8000, 128000), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(encoder.IsOpen(), 0);
  EXPECT_EQ(encoder.GetCodecContext(), nullptr);
  // The audio sink passes a PCM byte rate as the bit rate; the codec rounds it.
  EXPECT_EQ(encoder.Open(2, kRate, 4 * kRate), 1);
  EXPECT_EQ(encoder.Open(1, 22050, 2 * 22050), 1);
  EXPECT_EQ(encoder.GetFrameBytes(), 576 * 2);
}

TEST(FFAudioEncoderTest, SettingsTheCodecRefusesGiveMinusOneAndItsLine) {
  struct Case {
    int channels, rate, bitRate;
  };
  for (Case c : {Case{0, kRate, 128000}, Case{3, kRate, 128000}, Case{2, 12345, 128000}}) {
    RecordingAudioEncoder encoder;
    testing::internal::CaptureStderr();
    const int opened = encoder.Open(c.channels, c.rate, c.bitRate);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, -1) << c.channels << " " << c.rate;
    EXPECT_NE(err.find("could not open codec\n"), std::string::npos) << err;
    EXPECT_EQ(encoder.IsOpen(), 0);
    std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, kFrame);
    EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size())), 0);
  }
}

TEST(FFAudioEncoderTest, PacketsComeAfterTheLookAheadKeyFlaggedAndTimedInSamples) {
  RecordingAudioEncoder encoder;
  ASSERT_EQ(encoder.Open(2, kRate, 128000), 1);
  EXPECT_EQ(encoder.GetFrameBytes(), kFrame * 2 * 2);
  AVCodecContext* context = encoder.GetCodecContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->codec_id, AV_CODEC_ID_MP3);
  EXPECT_EQ(context->time_base.den, kRate);
  EXPECT_EQ(context->frame_size, kFrame);

  std::vector<int> results;
  for (int f = 0; f < 12; ++f) {
    std::vector<uint8_t> pcm = Tone(440, kRate, 2, f * kFrame, kFrame);
    const size_t before = encoder.packets.size();
    results.push_back(encoder.Encode(f, 0, pcm.data(), static_cast<long>(pcm.size())));
    EXPECT_EQ(results.back(), encoder.packets.size() > before ? 1 : 0) << f;
  }
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 0);
  EXPECT_EQ(results[2], 1);
  ASSERT_GE(encoder.packets.size(), 8u);
  // Each packet holds one frame, counted from the first sample; the codec's start-up delay
  // puts the first ones before it.
  const int padding = context->initial_padding;
  EXPECT_GT(padding, 0);
  for (size_t n = 0; n < encoder.packets.size(); ++n) {
    const SeenPacket& p = encoder.packets[n];
    EXPECT_TRUE(p.key());
    EXPECT_EQ(p.pts, static_cast<int64_t>(n) * kFrame - padding) << n;
    EXPECT_EQ(p.dts, p.pts) << n;
    EXPECT_EQ(p.duration, kFrame) << n;
    EXPECT_EQ(p.timeBaseNum, 1) << n;
    EXPECT_EQ(p.timeBaseDen, kRate) << n;
    EXPECT_EQ(p.pos, -1);
    EXPECT_EQ(p.streamIndex, 0);
    ASSERT_GE(p.data.size(), 4u);
    // An MPEG audio frame header: eleven sync bits, then MPEG-1 Layer III.
    EXPECT_EQ(p.data[0], 0xFF);
    EXPECT_EQ(p.data[1] & 0xFE, 0xFA);
  }
}

TEST(FFAudioEncoderTest, BuffersOfAnyLengthMakeTheSameStreamAsWholeFrames) {
  const int frames = 10;
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, frames * kFrame);
  const std::vector<std::vector<uint8_t>> reference = ReferenceEncode(pcm, 128000);
  ASSERT_GE(reference.size(), 5u);

  // Whole frames, one per call, are encoded straight away, once each.
  RecordingAudioEncoder whole;
  ASSERT_EQ(whole.Open(2, kRate, 128000), 1);
  const long frameBytes = whole.GetFrameBytes();
  for (int f = 0; f < frames; ++f) {
    std::vector<uint8_t> one(pcm.begin() + f * frameBytes, pcm.begin() + (f + 1) * frameBytes);
    whole.Encode(0, 0, one.data(), frameBytes);
  }
  EXPECT_EQ(Payloads(whole.packets), reference);

  // Odd pieces, each in a buffer of exactly its own size: nothing is read past an end.
  for (long piece : {7L, 100L, 4607L, 4609L, 3 * 4608L + 17}) {
    RecordingAudioEncoder chopped;
    ASSERT_EQ(chopped.Open(2, kRate, 128000), 1);
    for (size_t at = 0; at < pcm.size(); at += piece) {
      const size_t size = std::min<size_t>(piece, pcm.size() - at);
      std::vector<uint8_t> buffer(pcm.begin() + at, pcm.begin() + at + size);
      chopped.Encode(0, 0, buffer.data(), static_cast<long>(size));
    }
    EXPECT_EQ(Payloads(chopped.packets), reference) << piece;
  }
}

TEST(FFAudioEncoderTest, ClosedEncodersEncodeNothingAndCloseTwice) {
  RecordingAudioEncoder encoder;
  std::vector<uint8_t> pcm = Tone(440, kRate, 1, 0, kFrame * 8);
  EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size())), 0);
  ASSERT_EQ(encoder.Open(1, kRate, 64000), 1);
  EXPECT_EQ(encoder.Encode(0, 0, nullptr, 100), 0);
  EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), 0), 0);
  sorvo::SharedCodecContext shared = encoder.ShareCodecContext();
  EXPECT_EQ(encoder.Close(), 1);
  EXPECT_EQ(encoder.Close(), 1);
  EXPECT_EQ(encoder.IsOpen(), 0);
  EXPECT_EQ(encoder.GetFrameBytes(), 0);
  EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size())), 0);
  EXPECT_TRUE(encoder.packets.empty());
  // A writer that shared the context can still read it.
  EXPECT_EQ(shared->sample_rate, kRate);
  EXPECT_EQ(shared->frame_size, kFrame);
}

TEST(FFAudioEncoderTest, DrainHandsOutTheTailAndEndsTheStream) {
  RecordingAudioEncoder encoder;
  ASSERT_EQ(encoder.Open(2, kRate, 128000), 1);
  const int samples = 10 * kFrame + kFrame / 2;
  std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, samples);
  encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
  const size_t encoded = encoder.packets.size();
  EXPECT_LT(encoded * kFrame, static_cast<size_t>(samples));  // the look-ahead holds some back
  EXPECT_GT(encoder.Drain(), 0);
  // Every sample fed is in a packet now.
  EXPECT_GE(encoder.packets.size() * kFrame, static_cast<size_t>(samples));
  EXPECT_EQ(encoder.Drain(), 0);
  EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size())), 0);
  EXPECT_EQ(encoder.IsOpen(), 1);
  // Opened again, it takes PCM as before.
  ASSERT_EQ(encoder.Open(2, kRate, 128000), 1);
  encoder.packets.clear();
  encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
  EXPECT_EQ(encoder.packets.size(), encoded);
}

// Closes itself on its first packet, in the middle of a long buffer.
class SelfClosingAudioEncoder : public RecordingAudioEncoder {
 protected:
  void OnEncode(AVPacket* packet) override {
    RecordingAudioEncoder::OnEncode(packet);
    Close();
  }
};

TEST(FFAudioEncoderTest, AHookMayCloseItsEncoderInTheMiddleOfABuffer) {
  SelfClosingAudioEncoder encoder;
  ASSERT_EQ(encoder.Open(2, kRate, 128000), 1);
  std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, kFrame * 8);
  EXPECT_EQ(encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size())), 1);
  EXPECT_EQ(encoder.packets.size(), 1u);
  EXPECT_EQ(encoder.IsOpen(), 0);
}

}  // namespace
