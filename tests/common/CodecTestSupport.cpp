#include "common/CodecTestSupport.h"

#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFWriteFile.h"

namespace sorvo::test {

std::vector<uint8_t> MovingYuvPicture(int width, int height, int frame) {
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  std::vector<uint8_t> picture(width * height + 2 * chromaWidth * chromaHeight);
  uint8_t* y = picture.data();
  for (int row = 0; row < height; ++row)
    for (int col = 0; col < width; ++col)
      y[row * width + col] = static_cast<uint8_t>((col * 3 + row * 2 + frame * 5) & 0xFF);
  uint8_t* u = y + width * height;
  uint8_t* v = u + chromaWidth * chromaHeight;
  for (int i = 0; i < chromaWidth * chromaHeight; ++i) {
    u[i] = static_cast<uint8_t>(96 + (i + frame) % 64);
    v[i] = static_cast<uint8_t>(160 - (i / chromaWidth + frame) % 64);
  }
  return picture;
}

std::vector<uint8_t> SolidPackedPicture(PixelFormat format,
                                        int width,
                                        int height,
                                        uint8_t red,
                                        uint8_t green,
                                        uint8_t blue) {
  // Where each channel sits in a pixel; -1: the format has no such byte.
  struct Layout {
    int bytes, r, g, b, a;
  };
  Layout layout{3, 2, 1, 0, -1};  // BGR24
  switch (format) {
    case PIX_FMT_RGB24: layout = {3, 0, 1, 2, -1}; break;
    case PIX_FMT_ARGB: layout = {4, 1, 2, 3, 0}; break;
    case PIX_FMT_RGBA: layout = {4, 0, 1, 2, 3}; break;
    case PIX_FMT_ABGR: layout = {4, 3, 2, 1, 0}; break;
    case PIX_FMT_BGRA: layout = {4, 2, 1, 0, 3}; break;
    default: break;
  }
  std::vector<uint8_t> picture(width * height * layout.bytes);
  for (int i = 0; i < width * height; ++i) {
    uint8_t* p = &picture[i * layout.bytes];
    p[layout.r] = red, p[layout.g] = green, p[layout.b] = blue;
    if (layout.a >= 0)
      p[layout.a] = 0xFF;
  }
  return picture;
}

SeenPacket CopyPacket(const AVPacket* packet) {
  SeenPacket seen;
  seen.data.assign(packet->data, packet->data + packet->size);
  seen.flags = packet->flags;
  seen.pts = packet->pts;
  seen.dts = packet->dts;
  seen.duration = packet->duration;
  seen.pos = packet->pos;
  seen.streamIndex = packet->stream_index;
  seen.timeBaseNum = packet->time_base.num;
  seen.timeBaseDen = packet->time_base.den;
  return seen;
}

void RecordingEncoder::OnEncode(AVPacket* packet) {
  packets.push_back(CopyPacket(packet));
  if (writer != nullptr)
    writerResults += writer->AddVideoFrame(packet, writerIndex);
}

void RecordingAudioEncoder::OnEncode(AVPacket* packet) {
  packets.push_back(CopyPacket(packet));
  if (writer != nullptr)
    writer->AddAudioFrame(packet);
}

int RecordingAudioDecoder::OnDecode(AVPacket* packet) {
  frames.emplace_back(packet->data, packet->data + packet->size);
  pts.push_back(packet->pts);
  pcm.insert(pcm.end(), packet->data, packet->data + packet->size);
  return 1;
}

Picture PictureFromFrame(const AVFrame* frame) {
  Picture picture;
  picture.width = frame->width;
  picture.height = frame->height;
  const int cw = (picture.width + 1) / 2, ch = (picture.height + 1) / 2;
  for (int row = 0; row < picture.height; ++row) {
    const uint8_t* line = frame->data[0] + row * frame->linesize[0];
    picture.y.insert(picture.y.end(), line, line + picture.width);
  }
  for (int row = 0; row < ch; ++row) {
    const uint8_t* u = frame->data[1] + row * frame->linesize[1];
    const uint8_t* v = frame->data[2] + row * frame->linesize[2];
    picture.u.insert(picture.u.end(), u, u + cw);
    picture.v.insert(picture.v.end(), v, v + cw);
  }
  return picture;
}

Mpeg4Decoder::Mpeg4Decoder(bool strict) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  m_context = avcodec_alloc_context3(codec);
  if (strict)
    m_context->err_recognition |= AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE;
  avcodec_open2(m_context, codec, nullptr);
  m_frame = av_frame_alloc();
  m_packet = av_packet_alloc();
}

Mpeg4Decoder::~Mpeg4Decoder() {
  av_packet_free(&m_packet);
  av_frame_free(&m_frame);
  avcodec_free_context(&m_context);
}

std::vector<Picture> Mpeg4Decoder::Decode(const std::vector<uint8_t>& packet) {
  std::vector<Picture> pictures;
  // The decoder may read a little past the end of its input.
  std::vector<uint8_t> padded(packet);
  padded.resize(packet.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  m_packet->data = padded.data();
  m_packet->size = static_cast<int>(packet.size());
  if (avcodec_send_packet(m_context, m_packet) < 0) {
    ++errors;
    return pictures;
  }
  while (avcodec_receive_frame(m_context, m_frame) == 0) {
    if ((m_context->err_recognition & AV_EF_EXPLODE) != 0 &&
        (m_frame->decode_error_flags != 0 || (m_frame->flags & AV_FRAME_FLAG_CORRUPT) != 0))
      ++errors;
    pictures.push_back(PictureFromFrame(m_frame));
    av_frame_unref(m_frame);
  }
  return pictures;
}

std::vector<uint8_t> Tone(double frequency,
                          int sampleRate,
                          int channels,
                          int first,
                          int samples,
                          double amplitude) {
  std::vector<uint8_t> pcm(static_cast<size_t>(samples) * channels * 2);
  for (int s = 0; s < samples; ++s) {
    const auto value = static_cast<int16_t>(
        std::lround(amplitude * std::sin(2 * M_PI * frequency * (first + s) / sampleRate)));
    for (int c = 0; c < channels; ++c)
      std::memcpy(&pcm[(s * channels + c) * 2], &value, 2);
  }
  return pcm;
}

double StrongestFrequency(const std::vector<int16_t>& samples,
                          int sampleRate,
                          double lowHz,
                          double highHz,
                          double stepHz) {
  double best = 0, bestPower = -1;
  for (double f = lowHz; f <= highHz; f += stepHz) {
    double re = 0, im = 0;
    for (size_t n = 0; n < samples.size(); ++n) {
      const double phase = 2 * M_PI * f * n / sampleRate;
      re += samples[n] * std::cos(phase);
      im += samples[n] * std::sin(phase);
    }
    const double power = re * re + im * im;
    if (power > bestPower)
      bestPower = power, best = f;
  }
  return best;
}

std::vector<int16_t> FirstChannel(const std::vector<uint8_t>& pcm, int channels) {
  std::vector<int16_t> out(pcm.size() / 2 / channels);
  for (size_t s = 0; s < out.size(); ++s)
    std::memcpy(&out[s], &pcm[s * channels * 2], 2);
  return out;
}

}  // namespace sorvo::test
