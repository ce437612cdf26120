// FFDecoder's throughput against a bare libavcodec decode loop over the same packets.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "EncodedClip.h"
#include "RatioReporter.h"
#include "codec/FFDeleters.h"
#include "preview/FFDecoder.h"

namespace {

using sorvo::test::Bytes;

constexpr int kPictures = 50;  // two key-frame intervals at 25 pictures per second

// Camera-like pictures: texture that moves and a little noise, so that the encoder has
// real work at a camera's bit rate.
std::vector<Bytes> TexturedPictures(int width, int height) {
  std::vector<Bytes> pictures;
  uint32_t noise = 1;
  const int chroma = ((width + 1) / 2) * ((height + 1) / 2);
  for (int i = 0; i < kPictures; ++i) {
    Bytes picture(static_cast<size_t>(width) * height + 2 * chroma);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        noise = noise * 1664525u + 1013904223u;
        const double wave = std::sin((x + 3 * i) * 0.05) * std::cos((y - 2 * i) * 0.07);
        picture[y * width + x] = static_cast<unsigned char>(128 + 90 * wave + (noise >> 29));
      }
    }
    for (int c = 0; c < 2 * chroma; ++c)
      picture[width * height + c] = static_cast<unsigned char>(128 + ((c / 97 + i) % 40) - 20);
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

const std::vector<Bytes>& Packets(int width, int height) {
  static std::vector<Bytes> packets;
  static int madeWidth = 0;
  static int madeHeight = 0;
  if (madeWidth != width || madeHeight != height) {
    packets = sorvo::test::EncodePictures(width, height, PIX_FMT_YUV420P,
                                          TexturedPictures(width, height), 4000000);
    madeWidth = width;
    madeHeight = height;
  }
  return packets;
}

class CountingDecoder : public FFDecoder {
 public:
  int pictures = 0;
  void OnDecodedFrame(unsigned char* picture, int /*size*/) override {
    benchmark::DoNotOptimize(picture);
    ++pictures;
  }
};

void BM_FFDecoder(benchmark::State& state) {
  const auto& packets = Packets(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  CountingDecoder decoder;
  decoder.Open();
  sorvo::PacketPtr packet(av_packet_alloc());
  for (auto _ : state) {
    for (const Bytes& bytes : packets) {
      packet->data = const_cast<unsigned char*>(bytes.data());
      packet->size = static_cast<int>(bytes.size());
      decoder.DecodePacket(packet.get());
    }
  }
  if (decoder.pictures != static_cast<int>(state.iterations() * packets.size()))
    state.SkipWithError("pictures went missing");
  state.SetItemsProcessed(state.iterations() * packets.size());
}

// What libavcodec alone costs: send each packet, take its picture, touch nothing.
void BM_BareDecodeLoop(benchmark::State& state) {
  const auto& packets = Packets(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  avcodec_open2(context.get(), codec, nullptr);
  sorvo::FramePtr picture(av_frame_alloc());
  sorvo::PacketPtr packet(av_packet_alloc());
  int64_t pictures = 0;
  for (auto _ : state) {
    for (const Bytes& bytes : packets) {
      packet->data = const_cast<unsigned char*>(bytes.data());
      packet->size = static_cast<int>(bytes.size());
      avcodec_send_packet(context.get(), packet.get());
      while (avcodec_receive_frame(context.get(), picture.get()) == 0) {
        benchmark::DoNotOptimize(picture->data[0]);
        av_frame_unref(picture.get());
        ++pictures;
      }
    }
  }
  if (pictures != static_cast<int64_t>(state.iterations() * packets.size()))
    state.SkipWithError("pictures went missing");
  state.SetItemsProcessed(state.iterations() * packets.size());
}

// The two differ by a few per cent, less than one run's noise on a busy machine: the ratio
// takes the medians of ten runs each.
BENCHMARK(BM_FFDecoder)
    ->Args({1280, 720})
    ->Args({640, 480})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BareDecodeLoop)
    ->Args({1280, 720})
    ->Args({640, 480})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_FFDecoder/1280/720", "BM_BareDecodeLoop/1280/720", 0.95, false},
       {"BM_FFDecoder/640/480", "BM_BareDecodeLoop/640/480", 0.95, false}});
}
