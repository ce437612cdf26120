#include "codec/FFDeleters.h"

#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "codec/FragmentCommitIo.h"

namespace sorvo {

void CodecContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}
void FrameDeleter::operator()(AVFrame* frame) const {
  av_frame_free(&frame);
}
void PacketDeleter::operator()(AVPacket* packet) const {
  av_packet_free(&packet);
}
void ParserDeleter::operator()(AVCodecParserContext* parser) const {
  av_parser_close(parser);
}
void FreeDeleter::operator()(void* p) const {
  std::free(p);
}
void OutputContextDeleter::operator()(AVFormatContext* context) const {
  if (context == nullptr)
    return;
  if (context->flags & AVFMT_FLAG_CUSTOM_IO)
    FragmentCommitIo::Close(&context->pb);
  else if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE))
    avio_closep(&context->pb);
  avformat_free_context(context);
}
void ResamplerDeleter::operator()(SwrContext* resampler) const {
  swr_free(&resampler);
}
void InputContextDeleter::operator()(AVFormatContext* context) const {
  avformat_close_input(&context);
}
void CodecParametersDeleter::operator()(AVCodecParameters* parameters) const {
  avcodec_parameters_free(&parameters);
}
void ScalerDeleter::operator()(SwsContext* scaler) const {
  sws_freeContext(scaler);
}

SharedCodecContext MakeSharedCodecContext(AVCodecContext* context) {
  return SharedCodecContext(context, CodecContextDeleter());
}

}  // namespace sorvo
