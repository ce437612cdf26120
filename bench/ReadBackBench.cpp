// The end-of-session read-back of a camera's file, bounded against full, as the file grows:
// MP4 files of 2, 8 and 32 minutes of 640x480 at 25 pictures a second, written quickly from
// one encoded GOP of noisy pictures laid again and again. The full check decodes every
// picture and grows with the file; the bounded check (index, first and last GOP, a spread of
// GOPs) must stay flat: the ratios compare the bounded check on the longest file with the
// shortest (target at most 2) and with the full check of the same file (at most 0.1).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "RatioReporter.h"
#include "codec/FFDeleters.h"
#include "tools/common/MediaReadBack.h"

namespace {

using sorvo::tools::ReadDepth;

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kRate = 25;

// One GOP of MPEG-4 pictures of grainy texture, as the recorder's encoder makes them.
struct Gop {
  std::vector<std::vector<uint8_t>> packets;
  std::vector<bool> keys;
  std::vector<uint8_t> extradata;
};

Gop EncodeGop() {
  Gop gop;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->width = kWidth;
  context->height = kHeight;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, kRate};
  context->gop_size = kRate;
  context->bit_rate = 800000;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(context.get(), codec, nullptr) < 0)
    return gop;
  gop.extradata.assign(context->extradata, context->extradata + context->extradata_size);
  sorvo::FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  av_frame_get_buffer(frame.get(), 0);
  sorvo::PacketPtr packet(av_packet_alloc());
  uint32_t state = 12345;
  auto collect = [&] {
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      gop.packets.emplace_back(packet->data, packet->data + packet->size);
      gop.keys.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
      av_packet_unref(packet.get());
    }
  };
  for (int n = 0; n < kRate; ++n) {
    av_frame_make_writable(frame.get());
    for (int plane = 0; plane < 3; ++plane) {
      const int w = plane == 0 ? kWidth : kWidth / 2, h = plane == 0 ? kHeight : kHeight / 2;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          state = state * 1664525u + 1013904223u;
          frame->data[plane][y * frame->linesize[plane] + x] =
              static_cast<uint8_t>(((x + 3 * n) ^ (y + 2 * n)) + (state >> 28));
        }
    }
    frame->pts = n;
    avcodec_send_frame(context.get(), frame.get());
    collect();
  }
  avcodec_send_frame(context.get(), nullptr);
  collect();
  return gop;
}

// The files written so far, by their minutes; removed at the end of the run.
std::map<int, std::string> g_files;

// An MP4 of `minutes` of the GOP over and over, written once per run.
std::string FileOf(int minutes) {
  static const Gop gop = EncodeGop();
  if (g_files.count(minutes) != 0)
    return g_files[minutes];
  const std::string path = std::filesystem::temp_directory_path().string() +
                           "/sorvo-readback-bench-" + std::to_string(minutes) + ".mp4";
  AVFormatContext* raw = nullptr;
  avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
  std::unique_ptr<AVFormatContext, sorvo::OutputContextDeleter> output(raw);
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  stream->time_base = {1, kRate};
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_MPEG4;
  stream->codecpar->width = kWidth;
  stream->codecpar->height = kHeight;
  stream->codecpar->extradata =
      static_cast<uint8_t*>(av_mallocz(gop.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(gop.extradata.begin(), gop.extradata.end(), stream->codecpar->extradata);
  stream->codecpar->extradata_size = static_cast<int>(gop.extradata.size());
  if (avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(output.get(), nullptr) < 0)
    return "";
  sorvo::PacketPtr packet(av_packet_alloc());
  const int64_t pictures = static_cast<int64_t>(minutes) * 60 * kRate;
  for (int64_t n = 0; n < pictures; ++n) {
    const size_t i = static_cast<size_t>(n) % gop.packets.size();
    av_new_packet(packet.get(), static_cast<int>(gop.packets[i].size()));
    std::copy(gop.packets[i].begin(), gop.packets[i].end(), packet->data);
    packet->pts = packet->dts = av_rescale_q(n, {1, kRate}, stream->time_base);
    packet->duration = av_rescale_q(1, {1, kRate}, stream->time_base);
    packet->flags = gop.keys[i] ? AV_PKT_FLAG_KEY : 0;
    av_write_frame(output.get(), packet.get());
    av_packet_unref(packet.get());
  }
  av_write_trailer(output.get());
  return g_files[minutes] = path;
}

void BM_ReadBack(benchmark::State& state) {
  const std::string path = FileOf(static_cast<int>(state.range(0)));
  const ReadDepth depth = state.range(1) != 0 ? ReadDepth::kFull : ReadDepth::kBounded;
  for (auto _ : state) {
    const sorvo::tools::FileReadBack file = sorvo::tools::ReadBack(path, nullptr, depth);
    if (!file.Good())
      state.SkipWithError(("the file does not read back: " + file.Problem()).c_str());
    state.counters["decoded"] = static_cast<double>(file.streams[0].decoded);
  }
}

// Arguments: minutes of file, 1 for the full check.
BENCHMARK(BM_ReadBack)
    ->Args({2, 0})
    ->Args({8, 0})
    ->Args({32, 0})
    ->Args({2, 1})
    ->Args({32, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  const int result =
      sorvo::bench::RunWithRatios(argc, argv,
                                  {{"BM_ReadBack/32/0", "BM_ReadBack/2/0", 2.0, true},
                                   {"BM_ReadBack/32/0", "BM_ReadBack/32/1", 0.1, true}});
  for (const auto& [minutes, path] : g_files) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  return result;
}
