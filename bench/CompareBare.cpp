// One side of bench/compare: what a program would do without the module to record the same
// raw file. Each packed BGR24 picture is converted and encoded by the bare loop of
// BareEncoder.h (the module's MPEG-4 settings) and written with libavformat into an MP4,
// one packet per picture on a 1/FPS clock, as the sink's MP4 writer does.
//
// sorvo_compare_bare RAW WIDTH HEIGHT FPS BITRATE OUT.mp4
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "BareEncoder.h"
#include "RawPictureFile.h"

namespace {

// An MP4 with one video stream described by the encoder's context; null on failure.
sorvo::OutputContextPtr OpenMp4(const char* path, const AVCodecContext* encoder) {
  AVFormatContext* made = nullptr;
  if (avformat_alloc_output_context2(&made, nullptr, "mp4", path) < 0 || made == nullptr)
    return nullptr;
  sorvo::OutputContextPtr output(made);
  AVStream* stream = avformat_new_stream(made, nullptr);
  if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, encoder) < 0)
    return nullptr;
  stream->time_base = encoder->time_base;
  if (avio_open(&made->pb, path, AVIO_FLAG_WRITE) < 0 ||
      avformat_write_header(made, nullptr) < 0)
    return nullptr;
  return output;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s RAW WIDTH HEIGHT FPS BITRATE OUT.mp4\n", argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
  const int frameRate = std::atoi(argv[4]), bitRate = std::atoi(argv[5]);
  sorvo::bench::RawPictureFile raw(argv[1], static_cast<size_t>(width) * height * 3);
  if (!raw.ok()) return 1;

  sorvo::bench::BareEncoder encoder(PIX_FMT_BGR24, width, height, frameRate, bitRate, true);
  if (!encoder.ok()) {
    std::fprintf(stderr, "the encoder could not be opened\n");
    return 1;
  }
  sorvo::OutputContextPtr mp4 = OpenMp4(argv[6], encoder.context());
  if (!mp4) {
    std::fprintf(stderr, "the MP4 %s could not be started\n", argv[6]);
    return 1;
  }
  AVStream* stream = mp4->streams[0];
  sorvo::PacketPtr out(av_packet_alloc());

  int64_t pictures = 0, packets = 0;
  while (raw.Next()) {
    const AVPacket* packet = encoder.EncodePacket(raw.picture().data());
    ++pictures;
    if (packet == nullptr) break;
    // The muxer takes its packet over; the encoder's stays with the encoder.
    av_packet_ref(out.get(), packet);
    out->stream_index = stream->index;
    out->pts = out->dts = av_rescale_q(pictures - 1, encoder.context()->time_base,
                                       stream->time_base);
    out->duration = av_rescale_q(1, encoder.context()->time_base, stream->time_base);
    if (av_interleaved_write_frame(mp4.get(), out.get()) < 0) break;
    ++packets;
  }
  const bool ended = av_write_trailer(mp4.get()) == 0;

  std::printf("pictures %lld packets %lld\n", static_cast<long long>(pictures),
              static_cast<long long>(packets));
  if (!ended || pictures == 0 || packets != pictures) {
    std::fprintf(stderr, "pictures were lost on the way\n");
    return 1;
  }
  return 0;
}
