#include "tools/record/sources/MediaInput.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

int StopRequested(void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0; }

// A capture device delivers in real time by itself. libavdevice's "lavfi" is filed as a
// device too, but it makes its pictures as fast as they are read: it is paced like a file.
bool IsLive(const AVInputFormat* format) {
  return format != nullptr && format->priv_class != nullptr &&
         AV_IS_INPUT_DEVICE(format->priv_class->category) &&
         std::strcmp(format->name, "lavfi") != 0;
}

// Splits "FORMAT:TARGET" when FORMAT names an input format; otherwise the whole text is
// the target.
const AVInputFormat* ChooseFormat(const std::string& name, std::string* target) {
  *target = name;
  if (name.rfind("/dev/video", 0) == 0) return av_find_input_format("v4l2");
  const size_t colon = name.find(':');
  if (colon == std::string::npos || colon == 0) return nullptr;
  const AVInputFormat* format = av_find_input_format(name.substr(0, colon).c_str());
  // "file:" and other protocols are not formats; a drive-letter-like prefix is not either.
  if (format != nullptr) *target = name.substr(colon + 1);
  return format;
}

}  // namespace

bool MediaInput::Open(const std::string& name, AVMediaType type, const std::atomic<bool>* stop,
                      std::string* error) {
  static const bool devicesRegistered = (avdevice_register_all(), true);
  (void)devicesRegistered;

  std::string target;
  const AVInputFormat* format = ChooseFormat(name, &target);
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    *error = "out of memory";
    return false;
  }
  raw->interrupt_callback.callback = StopRequested;
  raw->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(stop);
  int result = avformat_open_input(&raw, target.c_str(), format, nullptr);
  if (result < 0) {
    *error = AvErrorText(result);
    return false;
  }
  m_input.reset(raw);
  if ((result = avformat_find_stream_info(m_input.get(), nullptr)) < 0) {
    *error = "cannot read its streams: " + AvErrorText(result);
    return false;
  }
  const AVCodec* codec = nullptr;
  m_stream = av_find_best_stream(m_input.get(), type, -1, -1, &codec, 0);
  if (m_stream < 0 || codec == nullptr) {
    *error = type == AVMEDIA_TYPE_VIDEO ? "it has no video stream that can be decoded"
                                        : "it has no audio stream that can be decoded";
    return false;
  }
  m_decoder.reset(avcodec_alloc_context3(codec));
  if (!m_decoder ||
      avcodec_parameters_to_context(m_decoder.get(), m_input->streams[m_stream]->codecpar) < 0 ||
      (result = avcodec_open2(m_decoder.get(), codec, nullptr)) < 0) {
    *error = std::string("cannot open its ") + codec->name + " decoder";
    return false;
  }
  m_live = IsLive(m_input->iformat);
  return true;
}

double MediaInput::declaredRate() const {
  const AVStream* stream = m_input->streams[m_stream];
  for (const AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate})
    if (rate.num > 0 && rate.den > 0) return av_q2d(rate);
  return 0;
}

std::string MediaInput::formatName() const { return m_input->iformat->name; }

bool MediaInput::Rewind(std::string* error) {
  if (m_framesThisLoop == 0) {
    *error = "it holds no frame that decodes";
    return false;
  }
  const int result = av_seek_frame(m_input.get(), m_stream, 0, AVSEEK_FLAG_BACKWARD);
  if (result < 0) {
    *error = "cannot return to its start to play it again: " + AvErrorText(result);
    return false;
  }
  avcodec_flush_buffers(m_decoder.get());
  m_loopOffset = m_loopEnd;
  m_firstTime = -1;
  m_framesThisLoop = 0;
  m_draining = false;
  return true;
}

bool MediaInput::ReadAndDecode(AVFrame* frame, std::string* error) {
  for (;;) {
    int result = avcodec_receive_frame(m_decoder.get(), frame);
    if (result == 0) return true;
    if (result == AVERROR_EOF) {
      if (m_live) {
        *error = "the device stopped delivering";
        return false;
      }
      if (!Rewind(error)) return false;
      continue;
    }
    if (result != AVERROR(EAGAIN)) {
      *error = "decoding failed: " + AvErrorText(result);
      return false;
    }
    if (m_draining) continue;
    result = av_read_frame(m_input.get(), m_packet.get());
    if (result == AVERROR_EXIT) {
      *error = "stopped";
      return false;
    }
    if (result < 0) {
      if (result != AVERROR_EOF && m_live) {
        *error = "reading failed: " + AvErrorText(result);
        return false;
      }
      // The end of a file (or an error in it): what the decoder holds comes out first.
      avcodec_send_packet(m_decoder.get(), nullptr);
      m_draining = true;
      continue;
    }
    if (m_packet->stream_index == m_stream) {
      result = avcodec_send_packet(m_decoder.get(), m_packet.get());
      // A damaged packet in a file costs that frame, not the source.
      if (result < 0 && result != AVERROR(EAGAIN) && result != AVERROR_INVALIDDATA) {
        av_packet_unref(m_packet.get());
        *error = "decoding failed: " + AvErrorText(result);
        return false;
      }
    }
    av_packet_unref(m_packet.get());
  }
}

bool MediaInput::NextFrame(AVFrame* frame, double* seconds, std::string* error) {
  av_frame_unref(frame);
  if (!ReadAndDecode(frame, error)) return false;
  const AVStream* stream = m_input->streams[m_stream];
  const double rate = declaredRate();
  const double step = m_decoder->codec_type == AVMEDIA_TYPE_AUDIO
                          ? static_cast<double>(frame->nb_samples) /
                                std::max(1, frame->sample_rate)
                          : 1.0 / (rate > 0 ? rate : 25.0);
  double time;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    time = frame->best_effort_timestamp * av_q2d(stream->time_base);
    if (m_firstTime < 0) m_firstTime = time;
    time = m_loopOffset + time - m_firstTime;
  } else {
    time = m_framesThisLoop == 0 ? m_loopOffset : m_loopEnd;
  }
  m_loopEnd = std::max(m_loopEnd, time + step);
  ++m_framesThisLoop;
  *seconds = time;
  return true;
}

}  // namespace sorvo::tools
