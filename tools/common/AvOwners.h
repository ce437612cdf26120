// Owners for the FFmpeg objects the programs allocate themselves (the library's own owners
// are internal to it). Each FFmpeg free function that takes the address of its pointer is
// wrapped once, by a deleter made from that function.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace sorvo::tools {

template <typename T, void (*Free)(T**)>
struct FreeByAddress {
  void operator()(T* object) const { Free(&object); }
};

using CodecContextOwner = std::unique_ptr<AVCodecContext, FreeByAddress<AVCodecContext, avcodec_free_context>>;
using FrameOwner = std::unique_ptr<AVFrame, FreeByAddress<AVFrame, av_frame_free>>;
using PacketOwner = std::unique_ptr<AVPacket, FreeByAddress<AVPacket, av_packet_free>>;
using InputOwner = std::unique_ptr<AVFormatContext, FreeByAddress<AVFormatContext, avformat_close_input>>;
using ResamplerOwner = std::unique_ptr<SwrContext, FreeByAddress<SwrContext, swr_free>>;
using ParametersOwner = std::unique_ptr<AVCodecParameters, FreeByAddress<AVCodecParameters, avcodec_parameters_free>>;

struct ParserClose {
  void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
using ParserOwner = std::unique_ptr<AVCodecParserContext, ParserClose>;

struct ScalerFree {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
using ScalerOwner = std::unique_ptr<SwsContext, ScalerFree>;

// An output context: closes its file when the format has one, then frees the context. The
// trailer is the writer's business.
struct OutputClose {
  void operator()(AVFormatContext* context) const {
    if (!(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
using OutputOwner = std::unique_ptr<AVFormatContext, OutputClose>;

}  // namespace sorvo::tools
