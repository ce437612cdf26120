// What a program would write without the module: the same MPEG-4 settings as FFEncoder,
// packed pictures converted with libswscale into a frame of the codec's own, planar ones
// laid over the caller's buffer; then send and receive. The baseline of the encoding
// benchmarks, and their moving test pictures.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "codec/FFDeleters.h"
#include "host/PixelFormat.h"

namespace sorvo::bench {

// Packed or planar pictures with moving content, to be cycled so that motion costs
// something.
inline std::vector<std::vector<uint8_t>> MakePictures(PixelFormat format, int width, int height,
                                                      int count) {
  std::vector<std::vector<uint8_t>> pictures;
  const int bytes = sorvo::PictureSize(format, width, height);
  for (int n = 0; n < count; ++n) {
    std::vector<uint8_t> picture(bytes);
    for (int i = 0; i < bytes; ++i) {
      const int x = i % (width * 3), y = i / (width * 3);
      picture[i] = static_cast<uint8_t>(128 + 100 * std::sin((x + 4 * n) * 0.05) *
                                                  std::cos((y + 3 * n) * 0.03));
    }
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

// The settings FFEncoder::Open makes. A program writing a container as most do asks for the
// global header, which moves the stream headers out of the key frames into the extradata.
inline sorvo::CodecContextPtr OpenBareEncoder(int width, int height, int frameRate, int bitRate,
                                              bool globalHeader = false) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->width = width;
  context->height = height;
  context->time_base = AVRational{1, frameRate};
  context->framerate = AVRational{frameRate, 1};
  context->gop_size = frameRate;
  context->max_b_frames = 0;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->debug = 0x400 | 0x800 | 0x1000;
  context->bit_rate = bitRate;
  if (globalHeader)
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(context.get(), codec, nullptr) < 0)
    context.reset();
  return context;
}

class BareEncoder {
 public:
  BareEncoder(PixelFormat format, int width, int height, int frameRate, int bitRate,
              bool globalHeader = false)
      : m_format(format),
        m_width(width),
        m_height(height),
        m_context(OpenBareEncoder(width, height, frameRate, bitRate, globalHeader)),
        m_frame(av_frame_alloc()),
        m_packet(av_packet_alloc()) {
    m_frame->format = AV_PIX_FMT_YUV420P;
    m_frame->width = width;
    m_frame->height = height;
    if (format != PIX_FMT_YUV420P) {
      av_frame_get_buffer(m_frame.get(), 0);
      m_scaler = sws_getContext(width, height,
                                static_cast<AVPixelFormat>(sorvo::ToAVPixelFormat(format)), width,
                                height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    }
  }
  ~BareEncoder() { sws_freeContext(m_scaler); }
  BareEncoder(const BareEncoder&) = delete;
  BareEncoder& operator=(const BareEncoder&) = delete;

  bool ok() const { return m_context != nullptr; }

  // Encodes one picture; the packet's size, or -1 on failure.
  int Encode(std::vector<uint8_t>& picture) {
    const AVPacket* packet = EncodePacket(picture.data());
    return packet ? packet->size : -1;
  }

  // Encodes one picture; its packet, valid until the next call, or null on failure.
  const AVPacket* EncodePacket(const uint8_t* picture) {
    av_packet_unref(m_packet.get());
    if (m_format == PIX_FMT_YUV420P) {
      av_image_fill_arrays(m_frame->data, m_frame->linesize, picture, AV_PIX_FMT_YUV420P,
                           m_width, m_height, 1);
    } else {
      av_frame_make_writable(m_frame.get());
      const uint8_t* source[4] = {picture, nullptr, nullptr, nullptr};
      const int sourceLines[4] = {m_width * 3, 0, 0, 0};
      sws_scale(m_scaler, source, sourceLines, 0, m_height, m_frame->data, m_frame->linesize);
    }
    m_frame->pts = m_n++;
    if (avcodec_send_frame(m_context.get(), m_frame.get()) < 0 ||
        avcodec_receive_packet(m_context.get(), m_packet.get()) < 0)
      return nullptr;
    return m_packet.get();
  }

  const AVCodecContext* context() const { return m_context.get(); }

 private:
  PixelFormat m_format;
  int m_width;
  int m_height;
  sorvo::CodecContextPtr m_context;
  sorvo::FramePtr m_frame;
  sorvo::PacketPtr m_packet;
  SwsContext* m_scaler = nullptr;
  int64_t m_n = 0;
};

// The timed loop of a bare-encode baseline: `count` moving pictures encoded in turn.
inline void BareEncodeLoop(benchmark::State& state, PixelFormat format, int width, int height,
                           int frameRate, int bitRate, int count) {
  std::vector<std::vector<uint8_t>> pictures = MakePictures(format, width, height, count);
  BareEncoder bare(format, width, height, frameRate, bitRate);
  if (!bare.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  int64_t n = 0;
  for (auto _ : state) {
    if (bare.Encode(pictures[n++ % count]) < 0) {
      state.SkipWithError("bare encode failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace sorvo::bench
