// Codec wrapper costs against the bare FFmpeg calls they wrap, measured in one run:
// FFEncoder::Encode on 1280 x 720 BGR24 and YUV 4:2:0 pictures against a plain libavcodec
// (and libswscale) loop with the same settings and the same input buffers, and
// FFWriteFile::AddVideoFrame against a plain av_interleaved_write_frame. At the end the
// ratios of the medians are printed.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "BareEncoder.h"
#include "MovingNoise.h"
#include "RatioReporter.h"
#include "ScratchDir.h"
#include "codec/FFDeleters.h"
#include "codec/FFEncoder.h"
#include "codec/FFWriteFile.h"
#include "host/MediaBase.h"

namespace {

constexpr int kFrameRate = 25;
constexpr int kBitRate = 4000000;
constexpr int kPictures = 8;  // distinct pictures, cycled, so that motion costs something

std::vector<std::vector<uint8_t>> MakePictures(PixelFormat format, int width, int height) {
  return sorvo::bench::MakePictures(format, width, height, kPictures);
}

sorvo::CodecContextPtr OpenBareEncoder(int width, int height) {
  return sorvo::bench::OpenBareEncoder(width, height, kFrameRate, kBitRate);
}

void EncodeBare(AVCodecContext* context,
                AVFrame* frame,
                AVPacket* packet,
                benchmark::State& state) {
  if (avcodec_send_frame(context, frame) < 0 || avcodec_receive_packet(context, packet) < 0) {
    state.SkipWithError("bare encode failed");
    return;
  }
  benchmark::DoNotOptimize(packet->data);
  av_packet_unref(packet);
}

class CountingEncoder : public FFEncoder {
 public:
  int64_t bytes = 0;

 protected:
  void OnEncode(AVPacket* packet) override { bytes += packet->size; }
};

// Opens an encoder for the pictures and encodes them in turn, one a timed iteration, each
// captured a frame interval after the one before.
void EncodeInTurn(benchmark::State& state,
                  PixelFormat format,
                  int width,
                  int height,
                  std::vector<std::vector<uint8_t>>& pictures) {
  CountingEncoder encoder;
  if (encoder.Open(width, height, format, kFrameRate, kBitRate, "bench") != 1) {
    state.SkipWithError("open failed");
    return;
  }
  int n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& picture = pictures[n++ % pictures.size()];
    if (encoder.Encode(n, n / static_cast<double>(kFrameRate), picture.data(),
                       static_cast<long>(picture.size())) != 1) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_FFEncoderEncode(benchmark::State& state) {
  const auto format = static_cast<PixelFormat>(state.range(0));
  const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
  std::vector<std::vector<uint8_t>> pictures = MakePictures(format, width, height);
  EncodeInTurn(state, format, width, height, pictures);
}

// One camera's pictures through FFEncoder with [Video] EncodeThreads set to `threads`, timed
// by the clock: how many pictures a second one camera can take when its conversion and
// coding spread over the cores. Moving noise, the hardest content for the codec.
void BM_FFEncoderThreads(benchmark::State& state) {
  const auto format = static_cast<PixelFormat>(state.range(0));
  const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
  sorvo::bench::ScratchDir dir;
  std::ofstream(dir.File("SettingVideo.ini"))
      << "[Video]\nEncodeThreads=" << state.range(3) << "\n";
  std::vector<std::vector<uint8_t>> pictures =
      sorvo::bench::MovingNoisePictures(width, height, kPictures);
  EncodeInTurn(state, format, width, height, pictures);
}

// What a program would write without the wrapper, given the same pictures in the caller's
// buffers: planar input is laid over the buffer as it is, packed input is converted with
// libswscale into a frame of the codec's own; then send and receive.
void BM_BareEncode(benchmark::State& state) {
  const auto format = static_cast<PixelFormat>(state.range(0));
  const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
  sorvo::bench::BareEncodeLoop(state, format, width, height, kFrameRate, kBitRate, kPictures);
}

// For reference only: planar pictures that already sit in the codec's own aligned frames,
// so that nothing at all is copied before the codec reads them.
void BM_BareEncodeFromCodecFrames(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  std::vector<std::vector<uint8_t>> pictures = MakePictures(PIX_FMT_YUV420P, width, height);
  sorvo::CodecContextPtr context = OpenBareEncoder(width, height);
  if (!context) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<sorvo::FramePtr> frames;
  for (std::vector<uint8_t>& picture : pictures) {
    sorvo::FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame.get(), 0);
    uint8_t* planes[4];
    int lines[4];
    av_image_fill_arrays(planes, lines, picture.data(), AV_PIX_FMT_YUV420P, width, height, 1);
    av_image_copy(frame->data, frame->linesize, const_cast<const uint8_t**>(planes), lines,
                  AV_PIX_FMT_YUV420P, width, height);
    frames.push_back(std::move(frame));
  }
  sorvo::PacketPtr packet(av_packet_alloc());
  int64_t n = 0;
  for (auto _ : state) {
    AVFrame* frame = frames[n % kPictures].get();
    frame->pts = n++;
    EncodeBare(context.get(), frame, packet.get(), state);
  }
  state.SetItemsProcessed(state.iterations());
}

// Packets of a short 25-per-second stream, to be written again and again.
std::vector<std::vector<uint8_t>> SamplePackets(std::vector<int>* flags) {
  struct Keeper : FFEncoder {
    std::vector<std::vector<uint8_t>> packets;
    std::vector<int> flags;
    void OnEncode(AVPacket* packet) override {
      packets.emplace_back(packet->data, packet->data + packet->size);
      flags.push_back(packet->flags);
    }
  } keeper;
  keeper.Open(320, 240, PIX_FMT_BGR24, kFrameRate, 800000, "packets");
  std::vector<std::vector<uint8_t>> pictures = MakePictures(PIX_FMT_BGR24, 320, 240);
  for (int i = 0; i < 50; ++i)
    keeper.Encode(i, 0, pictures[i % kPictures].data(),
                  static_cast<long>(pictures[i % kPictures].size()));
  *flags = keeper.flags;
  return keeper.packets;
}

// The file goes to /dev/null, so that the disk does not decide the figures.
constexpr const char* kSink = "/dev/null";

// The writer's whole road for one packet, in the file the settings of the current
// application directory call for.
void WriteFileLoop(benchmark::State& state) {
  FFEncoder encoder;
  encoder.Open(320, 240, PIX_FMT_BGR24, kFrameRate, 800000, "writer");
  std::vector<int> flags;
  std::vector<std::vector<uint8_t>> packets = SamplePackets(&flags);
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, &encoder);
  if (writer.CreateFileA(kSink, "mp4", 1) != 1) {
    state.SkipWithError("CreateFileA failed");
    return;
  }
  sorvo::PacketPtr packet(av_packet_alloc());
  size_t n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& bytes = packets[n % packets.size()];
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    packet->flags = flags[n++ % packets.size()];
    if (writer.AddVideoFrame(packet.get(), 0) != 1) {
      state.SkipWithError("AddVideoFrame failed");
      break;
    }
  }
  writer.CloseFile();
  state.SetItemsProcessed(state.iterations());
  size_t bytes = 0;
  for (const std::vector<uint8_t>& p : packets)
    bytes += p.size();
  state.counters["packet_bytes"] = static_cast<double>(bytes) / packets.size();
}

// A settings-free application directory: the default file, whatever the user's settings.
void BM_FFWriteFileAddVideoFrame(benchmark::State& state) {
  sorvo::bench::ScratchDir dir;
  WriteFileLoop(state);
}

// The same packets into a fragmented MP4: each GOP is gathered in memory, copied into the
// file as one fragment and flushed.
void BM_FFWriteFileAddVideoFrameFragmented(benchmark::State& state) {
  sorvo::bench::ScratchDir dir;
  std::ofstream(dir.File("SettingVideo.ini")) << "[Sorvo]\nFragmentedMP4=1\n";
  WriteFileLoop(state);
}

void BM_BareInterleavedWrite(benchmark::State& state) {
  FFEncoder encoder;
  encoder.Open(320, 240, PIX_FMT_BGR24, kFrameRate, 800000, "writer");
  std::vector<int> flags;
  std::vector<std::vector<uint8_t>> packets = SamplePackets(&flags);
  AVFormatContext* made = nullptr;
  avformat_alloc_output_context2(&made, nullptr, "mp4", kSink);
  sorvo::OutputContextPtr context(made);
  AVStream* stream = avformat_new_stream(context.get(), nullptr);
  avcodec_parameters_from_context(stream->codecpar, encoder.GetCodecContext());
  stream->time_base = encoder.GetCodecContext()->time_base;
  if (avio_open(&context->pb, kSink, AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(context.get(), nullptr) < 0) {
    state.SkipWithError("header failed");
    return;
  }
  const AVRational codecBase = AVRational{1, kFrameRate};
  sorvo::PacketPtr packet(av_packet_alloc());
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& bytes = packets[n % packets.size()];
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    packet->flags = flags[n % packets.size()];
    packet->stream_index = 0;
    packet->pts = packet->dts = av_rescale_q(n, codecBase, stream->time_base);
    packet->duration = av_rescale_q(n + 1, codecBase, stream->time_base) - packet->pts;
    ++n;
    if (av_interleaved_write_frame(context.get(), packet.get()) < 0) {
      state.SkipWithError("write failed");
      break;
    }
  }
  av_write_trailer(context.get());
  state.SetItemsProcessed(state.iterations());
}

constexpr int kRepetitions = 5;

BENCHMARK(BM_FFEncoderEncode)
    ->ArgNames({"format", "w", "h"})
    ->Args({PIX_FMT_BGR24, 1280, 720})
    ->Args({PIX_FMT_YUV420P, 1280, 720})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FFEncoderThreads)
    ->ArgNames({"format", "w", "h", "threads"})
    ->Args({PIX_FMT_BGR24, 3840, 2160, 1})
    ->Args({PIX_FMT_BGR24, 3840, 2160, 2})
    ->Args({PIX_FMT_RGB24, 3840, 2160, 1})
    ->Args({PIX_FMT_RGB24, 3840, 2160, 2})
    ->Args({PIX_FMT_BGR24, 1920, 1080, 1})
    ->Args({PIX_FMT_BGR24, 1920, 1080, 2})
    ->Repetitions(kRepetitions)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareEncode)
    ->ArgNames({"format", "w", "h"})
    ->Args({PIX_FMT_BGR24, 1280, 720})
    ->Args({PIX_FMT_YUV420P, 1280, 720})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareEncodeFromCodecFrames)
    ->ArgNames({"w", "h"})
    ->Args({1280, 720})
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FFWriteFileAddVideoFrame)
    ->Iterations(100000)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FFWriteFileAddVideoFrameFragmented)
    ->Iterations(100000)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareInterleavedWrite)
    ->Iterations(100000)
    ->Repetitions(kRepetitions)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  InitFFmpeg();
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_FFEncoderEncode/format:3/w:1280/h:720", "BM_BareEncode/format:3/w:1280/h:720", 0.95,
        false},
       {"BM_FFEncoderEncode/format:0/w:1280/h:720", "BM_BareEncode/format:0/w:1280/h:720", 0.95,
        false},
       // Two threads against one for one camera, by the clock: pictures a second gained.
       {"BM_FFEncoderThreads/format:3/w:3840/h:2160/threads:2/real_time",
        "BM_FFEncoderThreads/format:3/w:3840/h:2160/threads:1/real_time", 1.3, false},
       {"BM_FFEncoderThreads/format:2/w:3840/h:2160/threads:2/real_time",
        "BM_FFEncoderThreads/format:2/w:3840/h:2160/threads:1/real_time", 1.3, false},
       {"BM_FFEncoderThreads/format:3/w:1920/h:1080/threads:2/real_time",
        "BM_FFEncoderThreads/format:3/w:1920/h:1080/threads:1/real_time", 1.3, false},
       // For reference: against pictures that already sit in the codec's own frames.
       {"BM_FFEncoderEncode/format:0/w:1280/h:720", "BM_BareEncodeFromCodecFrames/w:1280/h:720",
        0.95, false},
       // The writer's lock, packet copy and timestamps on top of the bare write.
       {"BM_FFWriteFileAddVideoFrame", "BM_BareInterleavedWrite", 1.5, true},
       // What the crash-safe file costs the writer over the default one: each packet is
       // copied twice more (into the muxer's fragment and through the commit layer), a few
       // tenths of a microsecond against milliseconds for encoding the picture.
       {"BM_FFWriteFileAddVideoFrameFragmented", "BM_FFWriteFileAddVideoFrame", 4.0, true}},
      /*interleave=*/true);
}
