#include "codec/FFAudioDecoder.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/S16Interleaver.h"
#include "host/MediaBase.h"
#include "support/CodecMutexes.h"

namespace {

const AVCodec* FindDecoder(int codecId) {
  // FFmpeg's default MP3 decoder gives planar float; the one named "mp3" gives
  // interleaved 16-bit samples when asked for them.
  if (codecId == AV_CODEC_ID_MP3)
    return avcodec_find_decoder_by_name("mp3");
  return avcodec_find_decoder(static_cast<AVCodecID>(codecId));
}

int FailOpen() {
  std::fputs("could not open m_pAVCodec\n", stderr);
  return 0;
}

}  // namespace

FFAudioDecoder::FFAudioDecoder() = default;

FFAudioDecoder::~FFAudioDecoder() {
  // A derived class's Close override is gone by now; close this level.
  FFAudioDecoder::Close();
}

int FFAudioDecoder::Open(AVCodecContext* context, int codecId) {
  CSingleLock hold(m_lock);
  sorvo::CMutexExLock codecHold(sorvo::AudioDecoderMutex());
  ReleaseLocked();
  InitFFmpeg();

  const AVCodec* codec = FindDecoder(codecId);
  if (codec == nullptr) {
    std::fputs("m_pAVCodec not found\n", stderr);
    return 0;
  }
  // Only audio comes out as PCM; a context that is already open belongs to someone else.
  if (codec->type != AVMEDIA_TYPE_AUDIO || (context != nullptr && avcodec_is_open(context)))
    return FailOpen();

  sorvo::CodecContextPtr owned;
  if (context == nullptr) {
    owned.reset(avcodec_alloc_context3(codec));
    context = owned.get();
    if (context == nullptr)
      return FailOpen();
  }
  sorvo::FramePtr picture(av_frame_alloc());
  sorvo::PacketPtr inputPacket(av_packet_alloc());
  sorvo::PacketPtr unitPacket(av_packet_alloc());
  sorvo::PacketPtr pcmPacket(av_packet_alloc());
  auto interleaver = std::make_unique<sorvo::S16Interleaver>();
  // Streams that frame themselves (MP3 and the like) may carry several frames in one
  // packet, and the codec's parser splits them. A codec configured out of band (its
  // context has extradata) gets one whole access unit per packet from its container,
  // which a parser looking for in-band headers would only mangle.
  sorvo::ParserPtr parser;
  if (context->extradata_size <= 0)
    parser.reset(av_parser_init(codec->id));
  sorvo::CodecContextPtr parserContext;
  if (parser)
    parserContext.reset(avcodec_alloc_context3(codec));
  if (!picture || !inputPacket || !unitPacket || !pcmPacket || (parser && !parserContext))
    return FailOpen();

  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->request_sample_fmt = AV_SAMPLE_FMT_S16;
  if (avcodec_open2(context, codec, nullptr) < 0)
    return FailOpen();

  m_pAVCodec = codec;
  m_pCodecContext = context;
  m_pOwnedContext = std::move(owned);
  m_pPicture = std::move(picture);
  m_pInputPacket = std::move(inputPacket);
  m_pUnitPacket = std::move(unitPacket);
  m_pPcmPacket = std::move(pcmPacket);
  m_pInterleaver = std::move(interleaver);
  m_pParser = std::move(parser);
  m_pParserContext = std::move(parserContext);
  m_bOpen.store(true);
  return 1;
}

int FFAudioDecoder::Decode(const unsigned char* data, int size) {
  if (!m_bOpen.load())
    return 0;
  AVPacket* packet = m_pInputPacket.get();
  av_packet_unref(packet);
  packet->data = const_cast<unsigned char*>(data);
  packet->size = size;
  return DecodePacket(packet);
}

int FFAudioDecoder::DecodePacket(AVPacket* packet) {
  if (!m_bOpen.load() || packet == nullptr)
    return 0;
  if (packet->size < 0 || (packet->size > 0 && packet->data == nullptr))
    return 0;
  if (packet->size == 0)
    return 1;

  if (!m_pParser) {
    if (!DecodeUnit(packet->data, packet->size, packet))
      return 0;
    packet->data += packet->size;
    packet->size = 0;
    return 1;
  }

  // Parsers may read a little past the bytes they are given; they read a padded copy,
  // while the caller's packet advances with them.
  m_padded.assign(packet->data, packet->data + packet->size);
  m_padded.resize(m_padded.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  const uint8_t* input = m_padded.data();
  bool stalled = false;
  while (packet->size > 0) {
    uint8_t* frame = nullptr;
    int frameSize = 0;
    const int consumed =
        av_parser_parse2(m_pParser.get(), m_pParserContext.get(), &frame, &frameSize, input,
                         packet->size, packet->pts, packet->dts, packet->pos);
    if (consumed < 0 || consumed > packet->size)
      return AbandonPacket();
    if (frameSize > 0 && !DecodeUnit(frame, frameSize, packet))
      return AbandonPacket();
    // A parser may hand out a frame it held without taking new bytes, but a second step
    // in a row that takes nothing would never end.
    if (consumed == 0) {
      if (stalled || frameSize == 0)
        return AbandonPacket();
      stalled = true;
      continue;
    }
    stalled = false;
    input += consumed;
    packet->data += consumed;
    packet->size -= consumed;
  }
  return FlushParser(packet) ? 1 : 0;
}

bool FFAudioDecoder::FlushParser(const AVPacket* source) {
  uint8_t* frame = nullptr;
  int frameSize = 0;
  // The call without input releases a frame whose end the parser was still looking for.
  av_parser_parse2(m_pParser.get(), m_pParserContext.get(), &frame, &frameSize, nullptr, 0,
                   source->pts, source->dts, source->pos);
  if (frameSize <= 0)
    return true;
  const bool decoded = DecodeUnit(frame, frameSize, source);
  ResetParser();
  return decoded;
}

int FFAudioDecoder::AbandonPacket() {
  ResetParser();
  return 0;
}

void FFAudioDecoder::ResetParser() {
  // The parser may still count bytes of a frame that was cut short; a fresh one starts
  // the next packet on its first byte. Without one, whole packets go to the codec.
  if (m_bOpen.load())
    m_pParser.reset(av_parser_init(m_pAVCodec->id));
}

bool FFAudioDecoder::DecodeUnit(const unsigned char* data, int size, const AVPacket* source) {
  AVPacket* unit = m_pUnitPacket.get();
  av_packet_unref(unit);
  unit->data = const_cast<unsigned char*>(data);
  unit->size = size;
  unit->pts = source->pts;
  unit->dts = source->dts;
  const int sent = avcodec_send_packet(m_pCodecContext, unit);
  unit->data = nullptr;
  unit->size = 0;
  if (sent < 0)
    return false;

  AVFrame* picture = m_pPicture.get();
  for (;;) {
    const int received = avcodec_receive_frame(m_pCodecContext, picture);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      return true;
    if (received < 0)
      return false;
    const int bytes = m_pInterleaver->Convert(picture, m_samples, kSampleCapacity);
    const int channels = picture->ch_layout.nb_channels;
    const int sampleRate = picture->sample_rate;
    av_frame_unref(picture);
    if (bytes < 0)
      return false;
    if (bytes == 0)
      continue;
    if (!m_bFormatKnown)
      LearnFormat(channels, sampleRate);

    AVPacket* pcm = m_pPcmPacket.get();
    av_packet_unref(pcm);
    pcm->pts = source->pts;
    pcm->dts = source->dts;
    pcm->pos = source->pos;
    pcm->duration = source->duration;
    pcm->stream_index = source->stream_index;
    pcm->flags = source->flags;
    pcm->data = m_samples;
    pcm->size = bytes;
    OnDecode(pcm);
    // A hook that closed the decoder ends the packet here.
    if (!m_bOpen.load())
      return false;
  }
}

void FFAudioDecoder::LearnFormat(int channels, int sampleRate) {
  m_waveFormat.wFormatTag = WAVE_FORMAT_PCM;
  m_waveFormat.nChannels = static_cast<uint16_t>(channels);
  m_waveFormat.nSamplesPerSec = static_cast<uint32_t>(sampleRate);
  m_waveFormat.wBitsPerSample = 16;
  m_waveFormat.nBlockAlign = static_cast<uint16_t>(channels * 16 / 8);
  m_waveFormat.nAvgBytesPerSec = m_waveFormat.nBlockAlign * m_waveFormat.nSamplesPerSec;
  // 18, the record's own size, where a plain PCM record would say 0: readers of this
  // module's format have always seen 18 here.
  m_waveFormat.cbSize = 18;
  m_bFormatKnown = 1;
}

int FFAudioDecoder::GetWaveFormat(WAVEFORMATEX* format) {
  if (!m_bFormatKnown || format == nullptr)
    return 0;
  std::memcpy(format, &m_waveFormat, sizeof(m_waveFormat));
  return 1;
}

int FFAudioDecoder::Close() {
  CSingleLock hold(m_lock);
  sorvo::CMutexExLock codecHold(sorvo::AudioDecoderMutex());
  ReleaseLocked();
  return 1;
}

void FFAudioDecoder::ReleaseLocked() {
  m_bOpen.store(false);
  m_bFormatKnown = 0;
  // A caller's context is closed and left to the caller; one of ours is freed.
  if (m_pCodecContext != nullptr && !m_pOwnedContext)
    avcodec_close(m_pCodecContext);
  m_pOwnedContext.reset();
  m_pCodecContext = nullptr;
  m_pAVCodec = nullptr;
  m_pPicture.reset();
  m_pInputPacket.reset();
  m_pUnitPacket.reset();
  m_pPcmPacket.reset();
  m_pInterleaver.reset();
  m_pParser.reset();
  m_pParserContext.reset();
}

int FFAudioDecoder::IsOpen() {
  return m_bOpen.load() ? 1 : 0;
}

int FFAudioDecoder::OnDecode(AVPacket* /*pcm*/) {
  return 1;
}
