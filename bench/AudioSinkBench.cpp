// The audio sink's cost per 1,152-sample stereo frame: CAudioSinkFF's OnBuffer (its locks,
// the PCM gathering, the deinterleaving and the copy of each packet into its own buffer)
// against a bare libmp3lame encode of the same interleaved 16-bit frames at the same
// settings, for 16-bit and for 32-bit float PCM (which the sink narrows to 16 bits as it
// deinterleaves). The ratios of the median CPU times are printed at the end (target: at
// least 0.95 of the bare throughput).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "RatioReporter.h"
#include "audio/CAudioSinkFF.h"
#include "codec/FFDeleters.h"
#include "host/MediaBase.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kFrame = 1152;
constexpr int kFrameBytes = kFrame * kChannels * 2;
// The sink's bit rate: the PCM's byte rate, taken as bits per second.
constexpr int kBitRate = kRate * kChannels * 2;
constexpr int kFrames = 64;  // distinct frames, cycled, so that the codec sees changing sound
constexpr int kRepetitions = 7;
constexpr int kIterations = 3000;

// Interleaved frames of a rising tone with a little of a second one on the right channel.
std::vector<std::vector<uint8_t>> MakeFrames() {
  std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(kFrameBytes));
  for (int f = 0; f < kFrames; ++f) {
    for (int s = 0; s < kFrame; ++s) {
      const double t = static_cast<double>(f * kFrame + s) / kRate;
      const auto left = static_cast<int16_t>(9000 * std::sin(2 * M_PI * (300 + 400 * t) * t));
      const auto right = static_cast<int16_t>(left / 2 + 3000 * std::sin(2 * M_PI * 2500 * t));
      std::memcpy(&frames[f][s * 4], &left, 2);
      std::memcpy(&frames[f][s * 4 + 2], &right, 2);
    }
  }
  return frames;
}

// The same frames as 32-bit float samples.
std::vector<std::vector<uint8_t>> AsFloat(const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<std::vector<uint8_t>> out;
  for (const std::vector<uint8_t>& frame : frames) {
    std::vector<uint8_t> wide(frame.size() * 2);
    for (size_t at = 0; at < frame.size(); at += 2) {
      int16_t sample;
      std::memcpy(&sample, &frame[at], 2);
      const float value = sample / 32768.0f;
      std::memcpy(&wide[at * 2], &value, 4);
    }
    out.push_back(std::move(wide));
  }
  return out;
}

// The sink as the host's capture thread reaches it.
class BenchSink : public CAudioSinkFF {
 public:
  int Deliver(std::vector<uint8_t>& pcm) {
    IGrabberCallBack* host = this;
    return host->OnBuffer(0, 0.0, pcm.data(), static_cast<long>(pcm.size()), 0, 0, PIX_FMT_NONE);
  }
};

void DeliverToSink(benchmark::State& state,
                   std::vector<std::vector<uint8_t>> frames,
                   const tWAVEFORMATEX& format) {
  auto sink = std::make_unique<BenchSink>();  // large: the decoder half's sample area
  if (sink->Create("bench", nullptr, format, 0) != 1) {
    state.SkipWithError("the sink did not start");
    return;
  }
  size_t n = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(sink->Deliver(frames[n++ % kFrames]));
  state.SetItemsProcessed(state.iterations());
  sink->Close();
}

void BM_AudioSinkOnBuffer(benchmark::State& state) {
  DeliverToSink(state, MakeFrames(),
                tWAVEFORMATEX{1, kChannels, kRate, kBitRate, kChannels * 2, 16, 0});
}

// The bit rate stays that of 16-bit PCM: the sink scales the float source's byte rate.
void BM_AudioSinkOnBufferFloat(benchmark::State& state) {
  DeliverToSink(state, AsFloat(MakeFrames()),
                tWAVEFORMATEX{3, kChannels, kRate, 2 * kBitRate, kChannels * 4, 32, 0});
}

void BM_BareMp3Encode(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> frames = MakeFrames();
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP3);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->bit_rate = kBitRate;
  context->sample_rate = kRate;
  av_channel_layout_default(&context->ch_layout, kChannels);
  context->time_base = AVRational{1, kRate};
  context->sample_fmt = AV_SAMPLE_FMT_S16P;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  sorvo::FramePtr planar(av_frame_alloc());
  sorvo::PacketPtr packet(av_packet_alloc());
  planar->format = AV_SAMPLE_FMT_S16P;
  planar->nb_samples = kFrame;
  av_channel_layout_default(&planar->ch_layout, kChannels);
  if (avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_frame_get_buffer(planar.get(), 0) < 0) {
    state.SkipWithError("libmp3lame did not open");
    return;
  }
  int64_t pts = 0;
  size_t n = 0;
  for (auto _ : state) {
    const uint8_t* pcm = frames[n++ % kFrames].data();
    av_frame_make_writable(planar.get());
    // libmp3lame takes one plane per channel.
    auto* left = reinterpret_cast<int16_t*>(planar->data[0]);
    auto* right = reinterpret_cast<int16_t*>(planar->data[1]);
    for (int s = 0; s < kFrame; ++s) {
      std::memcpy(&left[s], pcm + s * 4, 2);
      std::memcpy(&right[s], pcm + s * 4 + 2, 2);
    }
    planar->pts = pts;
    pts += kFrame;
    if (avcodec_send_frame(context.get(), planar.get()) < 0) {
      state.SkipWithError("encode failed");
      break;
    }
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      benchmark::DoNotOptimize(packet->data);
      av_packet_unref(packet.get());
    }
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_AudioSinkOnBuffer)
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AudioSinkOnBufferFloat)
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareMp3Encode)
    ->Iterations(kIterations)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  InitFFmpeg();
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_AudioSinkOnBuffer", "BM_BareMp3Encode", 0.95, false},
       {"BM_AudioSinkOnBufferFloat", "BM_BareMp3Encode", 0.95, false}},
      /*interleave=*/true);
}
