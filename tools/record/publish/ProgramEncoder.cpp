#include "tools/record/publish/ProgramEncoder.h"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

// A preset and tune that encode a 1280 x 720 program in real time on a small machine, with
// no frame held back (no B-frames, no look-ahead): what live servers expect.
constexpr char kPreset[] = "veryfast";
constexpr char kTune[] = "zerolatency";
// The AAC encoder's rates; anything else is resampled to 48 kHz.
constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                             24000, 22050, 16000, 12000, 11025, 8000};

}  // namespace

bool ProgramEncoder::Open(std::string* error) {
  m_streams = std::make_shared<ProgramStreams>();
  if (!OpenVideo(error))
    return false;
  return m_settings.soundChannels <= 0 || OpenAudio(error);
}

bool ProgramEncoder::OpenVideo(std::string* error) {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) {
    *error = "this FFmpeg has no libx264 encoder";
    return false;
  }
  m_video.reset(avcodec_alloc_context3(codec));
  if (!m_video) {
    *error = "out of memory for the H.264 encoder";
    return false;
  }
  AVCodecContext* c = m_video.get();
  c->width = width();
  c->height = height();
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, m_settings.fps};
  c->framerate = AVRational{m_settings.fps, 1};
  // Constant bit rate: the rate, its ceiling and floor the same, over a buffer of one
  // second, signalled in the stream (nal-hrd=cbr pads with filler data where needed).
  c->bit_rate = m_settings.videoBitrate;
  c->rc_min_rate = m_settings.videoBitrate;
  c->rc_max_rate = m_settings.videoBitrate;
  c->rc_buffer_size = m_settings.videoBitrate;
  const int keyFrames =
      std::max(1, static_cast<int>(std::lround(m_settings.keySeconds * m_settings.fps)));
  c->gop_size = keyFrames;
  c->keyint_min = keyFrames;
  c->max_b_frames = 0;
  c->thread_count = m_settings.encoderThreads;
  // FLV needs the parameter sets up front; the MPEG-TS muxer repeats them at key frames.
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "preset", kPreset, 0);
  av_dict_set(&options, "tune", kTune, 0);
  av_dict_set(&options, "x264-params", "nal-hrd=cbr:scenecut=0", 0);
  const int result = avcodec_open2(c, codec, &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = "cannot open the H.264 encoder: " + AvErrorText(result);
    return false;
  }
  m_streams->video.reset(avcodec_parameters_alloc());
  if (!m_streams->video || avcodec_parameters_from_context(m_streams->video.get(), c) < 0) {
    *error = "out of memory for the H.264 stream's parameters";
    return false;
  }
  m_streams->videoTimeBase = c->time_base;
  m_streams->frameRate = c->framerate;
  return true;
}

bool ProgramEncoder::OpenAudio(std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) {
    *error = "this FFmpeg has no AAC encoder";
    return false;
  }
  m_audio.reset(avcodec_alloc_context3(codec));
  if (!m_audio) {
    *error = "out of memory for the AAC encoder";
    return false;
  }
  AVCodecContext* c = m_audio.get();
  int rate = 48000;
  for (int aac : kAacRates)
    if (aac == m_settings.soundRate)
      rate = aac;
  c->sample_rate = rate;
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&c->ch_layout, m_settings.soundChannels);
  c->bit_rate = m_settings.soundBitrate;
  c->time_base = AVRational{1, rate};
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int result = avcodec_open2(c, codec, nullptr);
  if (result < 0) {
    *error = "cannot open the AAC encoder: " + AvErrorText(result);
    return false;
  }
  if (!m_sound.Open(m_settings.soundRate, m_settings.soundChannels, rate, c->sample_fmt,
                    c->frame_size, error))
    return false;
  m_streams->audio.reset(avcodec_parameters_alloc());
  if (!m_streams->audio || avcodec_parameters_from_context(m_streams->audio.get(), c) < 0) {
    *error = "out of memory for the AAC stream's parameters";
    return false;
  }
  m_streams->audioTimeBase = c->time_base;
  return true;
}

bool ProgramEncoder::EncodePicture(double time, AVFrame* picture, const PacketOut& out) {
  if (!std::isfinite(time))
    return false;
  const int64_t pts = std::llround(time * m_settings.fps);
  if (pts <= m_lastPts)
    return false;
  m_lastPts = pts;
  picture->pts = pts;
  // Key frames on a fixed grid of capture time, the first picture at or after each mark,
  // so that a picture the publisher could not take neither stretches a GOP (and an HLS
  // segment) beyond its length nor moves every later key frame: key frames counted from
  // the one before drifted later with each skip, and an HLS segment came to span two GOPs.
  if (pts >= m_nextKeyPts) {
    picture->pict_type = AV_PICTURE_TYPE_I;
    const int64_t gop = m_video->gop_size;
    m_nextKeyPts = pts - ((pts % gop) + gop) % gop + gop;
  } else {
    picture->pict_type = AV_PICTURE_TYPE_NONE;
  }
  Send(m_video.get(), picture, true, out);
  return true;
}

void ProgramEncoder::EncodeSound(double time,
                                 const int16_t* samples,
                                 int frames,
                                 const PacketOut& out) {
  if (!m_audio)
    return;
  m_sound.Add(time, samples, frames);
  while (FramePtr frame = m_sound.Next()) {
    m_soundSeconds += static_cast<double>(frame->nb_samples) / m_audio->sample_rate;
    Send(m_audio.get(), frame.get(), false, out);
  }
}

void ProgramEncoder::Flush(const PacketOut& out) {
  if (m_video)
    Send(m_video.get(), nullptr, true, out);
  if (m_audio)
    Send(m_audio.get(), nullptr, false, out);
}

void ProgramEncoder::Send(AVCodecContext* codec,
                          const AVFrame* frame,
                          bool video,
                          const PacketOut& out) {
  const int result = avcodec_send_frame(codec, frame);
  if (result < 0 && result != AVERROR_EOF) {
    m_error = std::string(video ? "H.264" : "AAC") + " encoder: " + AvErrorText(result);
    return;
  }
  Drain(codec, video, out);
}

void ProgramEncoder::Drain(AVCodecContext* codec, bool video, const PacketOut& out) {
  for (;;) {
    PacketPtr packet(av_packet_alloc());
    if (!packet)
      return;
    const int result = avcodec_receive_packet(codec, packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
      return;
    if (result < 0) {
      m_error = std::string(video ? "H.264" : "AAC") + " encoder: " + AvErrorText(result);
      return;
    }
    auto encoded = std::make_shared<EncodedPacket>();
    encoded->timeBase = codec->time_base;
    encoded->video = video;
    encoded->key = video && (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (encoded->key)
      ++m_gops;
    encoded->gop = m_gops;
    encoded->seconds = static_cast<double>(packet->pts) * av_q2d(codec->time_base);
    if (packet->duration <= 0)
      packet->duration = video ? 1 : codec->frame_size;
    encoded->duration = static_cast<double>(packet->duration) * av_q2d(codec->time_base);
    encoded->packet = std::move(packet);
    out(std::move(encoded));
  }
}

}  // namespace sorvo::tools
