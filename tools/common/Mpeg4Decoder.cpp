#include "tools/common/Mpeg4Decoder.h"

#include <climits>
#include <cstring>

namespace sorvo::tools {

bool Mpeg4Decoder::Open(std::string* error) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  m_decoder.reset(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
  if (!m_decoder || !m_packet || !m_frame || avcodec_open2(m_decoder.get(), codec, nullptr) < 0) {
    *error = "cannot open the MPEG-4 decoder";
    return false;
  }
  return true;
}

bool Mpeg4Decoder::Decode(const uint8_t* data,
                          size_t size,
                          const std::function<void(const AVFrame*)>& picture) {
  // A packet of its own, padded as the decoder reads past the end.
  if (size == 0 || size > INT_MAX || av_new_packet(m_packet.get(), static_cast<int>(size)) < 0)
    return false;
  std::memcpy(m_packet->data, data, size);
  const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
  av_packet_unref(m_packet.get());
  if (sent < 0)
    return false;
  while (avcodec_receive_frame(m_decoder.get(), m_frame.get()) == 0) {
    picture(m_frame.get());
    av_frame_unref(m_frame.get());
  }
  return true;
}

}  // namespace sorvo::tools
