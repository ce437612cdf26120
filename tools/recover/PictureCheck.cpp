#include "tools/recover/PictureCheck.h"

#include <cstring>

namespace sorvo::tools {

PictureCheck::PictureCheck() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr || !m_packet || !m_frame)
    return;
  m_decoder.reset(avcodec_alloc_context3(codec));
  if (!m_decoder)
    return;
  // A slice that does not end where the picture does ("slice end not reached") is only
  // logged by default, and nothing is marked concealed; told to, the decoder refuses the
  // picture instead, as it does every other error it finds in the bitstream.
  m_decoder->err_recognition |= AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
  if (avcodec_open2(m_decoder.get(), codec, nullptr) < 0)
    m_decoder.reset();
}

PictureCheck::Result PictureCheck::Decode(const uint8_t* data, size_t size) {
  if (!m_decoder || size == 0 || size > static_cast<size_t>(INT32_MAX / 2) ||
      av_new_packet(m_packet.get(), static_cast<int>(size)) < 0)
    return Result::kDamaged;
  std::memcpy(m_packet->data, data, size);
  const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
  av_packet_unref(m_packet.get());
  if (sent < 0)
    return Result::kDamaged;
  // Without B-frames a picture comes out of its own packet.
  const int received = avcodec_receive_frame(m_decoder.get(), m_frame.get());
  if (received == AVERROR(EAGAIN))
    return Result::kNoPicture;
  if (received < 0)
    return Result::kDamaged;
  const bool concealed =
      m_frame->decode_error_flags != 0 || (m_frame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
  if (!concealed) {
    m_width = m_frame->width;
    m_height = m_frame->height;
  }
  av_frame_unref(m_frame.get());
  return concealed ? Result::kDamaged : Result::kClean;
}

}  // namespace sorvo::tools
