#include "codec/FFDeleters.h"

#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace sorvo {

void CodecContextDeleter::operator()(AVCodecContext* context) const {
  avcodec_free_context(&context);
}
void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }
void PacketDeleter::operator()(AVPacket* packet) const { av_packet_free(&packet); }
void ParserDeleter::operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
void FreeDeleter::operator()(void* p) const { std::free(p); }

SharedCodecContext MakeSharedCodecContext(AVCodecContext* context) {
  return SharedCodecContext(context, CodecContextDeleter());
}

}  // namespace sorvo
