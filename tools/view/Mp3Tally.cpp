#include "tools/view/Mp3Tally.h"

#include <cstring>

namespace sorvo::tools {

Mp3Tally::Mp3Tally() : m_parser(av_parser_init(AV_CODEC_ID_MP3)) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MP3);
  if (codec == nullptr) return;
  m_decoder.reset(avcodec_alloc_context3(codec));
  if (m_decoder && avcodec_open2(m_decoder.get(), codec, nullptr) < 0) m_decoder.reset();
}

void Mp3Tally::Decode(const uint8_t* frame, int size) {
  if (size <= 0) return;
  ++m_frames;
  if (av_new_packet(m_packet.get(), size) < 0) return;
  std::memcpy(m_packet->data, frame, static_cast<size_t>(size));
  const int sent = avcodec_send_packet(m_decoder.get(), m_packet.get());
  av_packet_unref(m_packet.get());
  if (sent < 0) {
    ++m_decodeErrors;
    return;
  }
  while (avcodec_receive_frame(m_decoder.get(), m_frame.get()) == 0) {
    m_samples += m_frame->nb_samples;
    m_sampleRate = m_frame->sample_rate;
    m_channels = m_frame->ch_layout.nb_channels;
    av_frame_unref(m_frame.get());
  }
}

void Mp3Tally::Add(const uint8_t* data, size_t size) {
  if (!ok()) return;
  while (size > 0) {
    uint8_t* frame = nullptr;
    int length = 0;
    const int used = av_parser_parse2(m_parser.get(), m_decoder.get(), &frame, &length, data,
                                      static_cast<int>(size), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return;
    data += used;
    size -= static_cast<size_t>(used);
    Decode(frame, length);
  }
}

void Mp3Tally::Finish() {
  if (!ok()) return;
  uint8_t* frame = nullptr;
  int length = 0;
  av_parser_parse2(m_parser.get(), m_decoder.get(), &frame, &length, nullptr, 0, AV_NOPTS_VALUE,
                   AV_NOPTS_VALUE, 0);
  Decode(frame, length);
}

}  // namespace sorvo::tools
