#include "codec/FFAudioEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

#include "host/MediaBase.h"
#include "support/CodecMutexes.h"

namespace {

using SampleLayout = FFAudioEncoder::SampleLayout;

int16_t FromU8(const unsigned char* in) {
  return static_cast<int16_t>((in[0] - 128) * 256);
}
// The top 16 bits of a little-endian integer whose most significant byte is `in[top]`.
template <int top>
int16_t FromTopBytes(const unsigned char* in) {
  return static_cast<int16_t>(static_cast<uint16_t>(in[top - 1] | in[top] << 8));
}
template <typename Float>
int16_t FromFloat(const unsigned char* in) {
  Float value;
  std::memcpy(&value, in, sizeof value);
  const double scaled = static_cast<double>(value) * 32768.0;
  if (std::isnan(scaled))
    return 0;
  return static_cast<int16_t>(std::lrint(std::clamp(scaled, -32768.0, 32767.0)));
}

// Splits interleaved PCM of `bytes`-byte samples into the per-channel 16-bit planes that
// libmp3lame takes.
template <int16_t (*Read)(const unsigned char*), int bytes>
void Split(const unsigned char* pcm, AVFrame* planar) {
  const int channels = planar->ch_layout.nb_channels;
  const int samples = planar->nb_samples;
  for (int c = 0; c < channels; ++c) {
    auto* plane = reinterpret_cast<int16_t*>(planar->extended_data[c]);
    const unsigned char* in = pcm + c * bytes;
    for (int s = 0; s < samples; ++s, in += channels * bytes)
      plane[s] = Read(in);
  }
}

void Deinterleave(const unsigned char* pcm, SampleLayout layout, AVFrame* planar) {
  switch (layout) {
    case SampleLayout::kU8:
      return Split<FromU8, 1>(pcm, planar);
    case SampleLayout::kS16:
      return Split<FromTopBytes<1>, 2>(pcm, planar);
    case SampleLayout::kS24:
      return Split<FromTopBytes<2>, 3>(pcm, planar);
    case SampleLayout::kS32:
      return Split<FromTopBytes<3>, 4>(pcm, planar);
    case SampleLayout::kF32:
      return Split<FromFloat<float>, 4>(pcm, planar);
    case SampleLayout::kF64:
      return Split<FromFloat<double>, 8>(pcm, planar);
  }
}

}  // namespace

int FFAudioEncoder::BytesPerSample(SampleLayout layout) {
  switch (layout) {
    case SampleLayout::kU8:
      return 1;
    case SampleLayout::kS16:
      return 2;
    case SampleLayout::kS24:
      return 3;
    case SampleLayout::kS32:
    case SampleLayout::kF32:
      return 4;
    case SampleLayout::kF64:
      return 8;
  }
  return 0;
}

FFAudioEncoder::FFAudioEncoder() = default;

FFAudioEncoder::~FFAudioEncoder() {
  // A derived class's Close override is gone by now; release this level's resources.
  FFAudioEncoder::Close();
}

int FFAudioEncoder::Open(int channels, int sampleRate, int bitRate) {
  return OpenForInput(channels, sampleRate, bitRate, SampleLayout::kS16);
}

int FFAudioEncoder::OpenForInput(int channels, int sampleRate, int bitRate, SampleLayout input) {
  const int sampleBytes = BytesPerSample(input);
  if (channels < 0 || sampleRate <= 0 || bitRate <= 0 || sampleBytes == 0)
    return 0;

  CSingleLock hold(m_lock);
  std::lock_guard<std::mutex> codecHold(sorvo::AudioEncoderMutex());
  ReleaseLocked();
  InitFFmpeg();

  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MP3);
  if (codec == nullptr) {
    std::fputs("m_pAVCodec not found\n", stderr);
    return 0;
  }
  sorvo::SharedCodecContext context = sorvo::MakeSharedCodecContext(avcodec_alloc_context3(codec));
  sorvo::FramePtr planar(av_frame_alloc());
  sorvo::PacketPtr codedPacket(av_packet_alloc());
  sorvo::PacketPtr outPacket(av_packet_alloc());
  if (!context || !planar || !codedPacket || !outPacket) {
    std::fputs("could not open codec\n", stderr);
    return -1;
  }
  context->bit_rate = bitRate;
  context->sample_rate = sampleRate;
  // A count of 0 gives an empty layout, which the codec refuses.
  av_channel_layout_default(&context->ch_layout, channels);
  context->time_base = AVRational{1, sampleRate};
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  // Signed 16-bit, one plane per channel: the layout libmp3lame takes 16-bit samples in.
  context->sample_fmt = AV_SAMPLE_FMT_S16P;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    std::fputs("could not open codec\n", stderr);
    return -1;
  }

  const int blockBytes = context->ch_layout.nb_channels * sampleBytes;
  const int64_t frameBytes = static_cast<int64_t>(context->frame_size) * blockBytes;
  if (frameBytes <= 0 || frameBytes > INT32_MAX)
    return 0;

  planar->format = AV_SAMPLE_FMT_S16P;
  planar->nb_samples = context->frame_size;
  planar->sample_rate = sampleRate;
  sorvo::MallocPtr frameBuffer(static_cast<unsigned char*>(std::malloc(frameBytes)));
  sorvo::MallocPtr outBuffer(static_cast<unsigned char*>(std::malloc(kOutputCapacity)));
  if (av_channel_layout_copy(&planar->ch_layout, &context->ch_layout) < 0 ||
      av_frame_get_buffer(planar.get(), 0) < 0 || !frameBuffer || !outBuffer) {
    std::fputs("could not open codec\n", stderr);
    return -1;
  }

  m_pAVCodec = codec;
  std::atomic_store(&m_pCodecContext, std::move(context));
  m_pPlanarFrame = std::move(planar);
  m_pCodedPacket = std::move(codedPacket);
  m_pOutPacket = std::move(outPacket);
  m_pFrameBuffer = std::move(frameBuffer);
  m_pOutBuffer = std::move(outBuffer);
  m_nOutCapacity = kOutputCapacity;
  m_nFrameBytes = static_cast<int>(frameBytes);
  m_input = input;
  m_nBlockBytes = blockBytes;
  m_nFrameFill = 0;
  m_nSamplesIn = 0;
  m_bOpen.store(true);
  return 1;
}

int FFAudioEncoder::Encode(int /*id*/, double /*time*/, unsigned char* pcm, long length) {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || m_bDrained || pcm == nullptr || length <= 0)
    return 0;

  int packets = 0;
  long offset = 0;
  while (offset < length && m_bOpen.load() && !m_bDrained) {
    const long left = length - offset;
    if (m_nFrameFill == 0 && left >= m_nFrameBytes) {
      packets += EncodeFrameLocked(pcm + offset);
      offset += m_nFrameBytes;
      continue;
    }
    const int take = static_cast<int>(std::min<long>(m_nFrameBytes - m_nFrameFill, left));
    std::memcpy(m_pFrameBuffer.get() + m_nFrameFill, pcm + offset, take);
    m_nFrameFill += take;
    offset += take;
    if (m_nFrameFill == m_nFrameBytes) {
      m_nFrameFill = 0;
      packets += EncodeFrameLocked(m_pFrameBuffer.get());
    }
  }
  return packets > 0 ? 1 : 0;
}

int FFAudioEncoder::EncodeFrameLocked(const unsigned char* pcm) {
  AVFrame* planar = m_pPlanarFrame.get();
  if (av_frame_make_writable(planar) < 0)
    return 0;
  Deinterleave(pcm, m_input, planar);
  // Only the codec's own sample queue sees this count; the packets carry no timestamps.
  planar->pts = m_nSamplesIn;
  m_nSamplesIn += planar->nb_samples;

  if (avcodec_send_frame(m_pCodecContext.get(), planar) < 0)
    return 0;
  return HandOutPacketsLocked();
}

int FFAudioEncoder::HandOutPacketsLocked() {
  AVCodecContext* context = m_pCodecContext.get();
  int packets = 0;
  AVPacket* coded = m_pCodedPacket.get();
  while (m_bOpen.load() && avcodec_receive_packet(context, coded) == 0) {
    const int size = coded->size;
    if (size < 1 || size > m_nOutCapacity) {
      av_packet_unref(coded);
      continue;
    }
    std::memcpy(m_pOutBuffer.get(), coded->data, size);
    av_packet_unref(coded);

    AVPacket* out = m_pOutPacket.get();
    av_packet_unref(out);  // the defaults: no timestamps, pos -1, stream 0
    out->data = m_pOutBuffer.get();
    out->size = size;
    out->flags |= AV_PKT_FLAG_KEY;
    ++packets;
    // The hook may close this encoder (the lock is re-entrant); the loop then stops.
    OnEncode(out);
  }
  return packets;
}

int FFAudioEncoder::Drain() {
  CSingleLock hold(m_lock);
  if (!m_bOpen.load() || m_bDrained)
    return 0;
  m_bDrained = true;
  int packets = 0;
  AVFrame* planar = m_pPlanarFrame.get();
  // A sample cut short at the very end is dropped.
  const int samples = m_nFrameFill / m_nBlockBytes;
  m_nFrameFill = 0;
  if (samples > 0) {
    // libmp3lame takes a short last frame; it pads it itself.
    planar->nb_samples = samples;
    packets += EncodeFrameLocked(m_pFrameBuffer.get());
  }
  if (m_bOpen.load() && avcodec_send_frame(m_pCodecContext.get(), nullptr) >= 0)
    packets += HandOutPacketsLocked();
  return packets;
}

int FFAudioEncoder::Close() {
  CSingleLock hold(m_lock);
  std::lock_guard<std::mutex> codecHold(sorvo::AudioEncoderMutex());
  ReleaseLocked();
  return 1;
}

void FFAudioEncoder::ReleaseLocked() {
  m_bOpen.store(false);
  std::atomic_store(&m_pCodecContext, sorvo::SharedCodecContext());
  m_pAVCodec = nullptr;
  m_pPlanarFrame.reset();
  m_pCodedPacket.reset();
  m_pOutPacket.reset();
  m_pOutBuffer.reset();
  m_pFrameBuffer.reset();
  m_nFrameBytes = 0;
  m_nBlockBytes = 0;
  m_nFrameFill = 0;
  m_bDrained = false;
}

int FFAudioEncoder::IsOpen() {
  return m_bOpen.load() ? 1 : 0;
}

AVCodecContext* FFAudioEncoder::GetCodecContext() {
  return std::atomic_load(&m_pCodecContext).get();
}

sorvo::SharedCodecContext FFAudioEncoder::ShareCodecContext() {
  return std::atomic_load(&m_pCodecContext);
}

void FFAudioEncoder::OnEncode(AVPacket* /*packet*/) {}
