#include "tools/common/Mpeg4Probe.h"

#include <cmath>
#include <cstring>

#include "tools/common/AvOwners.h"

namespace sorvo::tools {

bool ProbeMpeg4KeyFrame(const uint8_t* data, size_t size, Mpeg4Parameters* parameters) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr) return false;
  CodecContextOwner context(avcodec_alloc_context3(codec));
  PacketOwner packet(av_packet_alloc());
  FrameOwner frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(size)) < 0)
    return false;
  std::memcpy(packet->data, data, size);
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return false;
  // With no B-frames the picture comes out of the same packet; a flush fetches it else.
  if (avcodec_receive_frame(context.get(), frame.get()) < 0) {
    avcodec_send_packet(context.get(), nullptr);
    if (avcodec_receive_frame(context.get(), frame.get()) < 0) return false;
  }
  parameters->width = context->width;
  parameters->height = context->height;
  const AVRational rate = context->framerate;
  parameters->frameRate =
      rate.num > 0 && rate.den > 0 ? static_cast<int>(std::lround(av_q2d(rate))) : 0;
  return true;
}

}  // namespace sorvo::tools
