#include "tools/record/sources/MediaInput.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "tools/common/AvError.h"
#include "tools/common/CommandLine.h"
#include "tools/record/sources/NetworkInput.h"
#include "tools/record/sources/SourceClaims.h"

namespace sorvo::tools {
namespace {

// A capture device delivers in real time by itself. libavdevice's "lavfi" is filed as a
// device too, but it makes its pictures as fast as they are read: it is paced like a file.
bool IsDevice(const AVInputFormat* format) {
  return format != nullptr && format->priv_class != nullptr &&
         AV_IS_INPUT_DEVICE(format->priv_class->category) &&
         std::strcmp(format->name, "lavfi") != 0;
}

// Splits "FORMAT:TARGET" when FORMAT names an input format; otherwise the whole text is
// the target.
const AVInputFormat* ChooseFormat(const std::string& name, std::string* target) {
  *target = name;
  if (name.rfind("/dev/video", 0) == 0)
    return av_find_input_format("v4l2");
  const size_t colon = name.find(':');
  // A URL ("rtsp://...") names its protocol, not a format, even where a format has the
  // same name.
  if (colon == std::string::npos || colon == 0 || name.compare(colon, 3, "://") == 0)
    return nullptr;
  const AVInputFormat* format = av_find_input_format(name.substr(0, colon).c_str());
  // "file:" and other protocols are not formats; a drive-letter-like prefix is not either.
  if (format != nullptr)
    *target = name.substr(colon + 1);
  return format;
}

}  // namespace

void MediaInput::Watchdog::Arm(double seconds) {
  armedFor = seconds;
  deadline = std::chrono::steady_clock::now() +
             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                 std::chrono::duration<double>(seconds));
}

int MediaInput::Interrupted(void* opaque) {
  const Watchdog* watchdog = static_cast<const Watchdog*>(opaque);
  return watchdog->stop->load() || watchdog->Expired() ? 1 : 0;
}

std::string MediaInput::InterruptedText() const {
  if (m_watchdog.stop->load())
    return "stopped";
  return "nothing came for " + FormatNumber(m_watchdog.armedFor) + " s";
}

bool MediaInput::Open(const std::string& name,
                      AVMediaType type,
                      const std::atomic<bool>* stop,
                      std::string* error,
                      bool knownFormat) {
  static const bool devicesRegistered = (avdevice_register_all(), true);
  (void)devicesRegistered;

  std::string target;
  const AVInputFormat* format = ChooseFormat(name, &target);
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    *error = "out of memory";
    return false;
  }
  m_watchdog.stop = stop;
  raw->interrupt_callback.callback = Interrupted;
  raw->interrupt_callback.opaque = &m_watchdog;
  LimitSourceStreams(raw);
  AVDictionary* options = nullptr;
  if (format == nullptr && IsNetworkUrl(target)) {
    m_kind = Kind::kNetwork;
    m_listener = IsListenerUrl(target);
    options = NetworkInputOptions(target, knownFormat);
    // Listening again, it waits for its sender as long as it takes.
    if (!m_listener || !knownFormat)
      m_watchdog.Arm(kConnectSeconds);
  }
  int result = avformat_open_input(&raw, target.c_str(), format, &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = result == AVERROR_EXIT ? InterruptedText() : AvErrorText(result);
    return false;
  }
  m_input.reset(raw);
  if (!(*error = ExcessiveClaims(m_input.get())).empty() ||
      (result = avformat_find_stream_info(m_input.get(), ProbeLimits(m_input.get()).get())) < 0) {
    if (error->empty())
      *error = "cannot read its streams: " +
               (result == AVERROR_EXIT ? InterruptedText() : AvErrorText(result));
    return false;
  }
  if (!(*error = ExcessiveClaims(m_input.get())).empty())
    return false;
  const AVCodec* codec = nullptr;
  m_stream = av_find_best_stream(m_input.get(), type, -1, -1, &codec, 0);
  if (m_stream < 0 || codec == nullptr) {
    *error = type == AVMEDIA_TYPE_VIDEO ? "it has no video stream that can be decoded"
                                        : "it has no audio stream that can be decoded";
    return false;
  }
  m_decoder.reset(avcodec_alloc_context3(codec));
  if (m_decoder)
    LimitDecoder(m_decoder.get());
  if (!m_decoder ||
      avcodec_parameters_to_context(m_decoder.get(), m_input->streams[m_stream]->codecpar) < 0 ||
      (result = avcodec_open2(m_decoder.get(), codec, nullptr)) < 0) {
    *error = std::string("cannot open its ") + codec->name + " decoder";
    return false;
  }
  if (m_kind != Kind::kNetwork && IsDevice(m_input->iformat))
    m_kind = Kind::kDevice;
  return true;
}

double MediaInput::declaredRate() const {
  const AVStream* stream = m_input->streams[m_stream];
  for (const AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate})
    if (rate.num > 0 && rate.den > 0)
      return av_q2d(rate);
  return 0;
}

const char* MediaInput::kindName() const {
  switch (m_kind) {
    case Kind::kDevice:
      return "device";
    case Kind::kNetwork:
      return "network";
    case Kind::kFile:
      break;
  }
  return "file";
}

bool MediaInput::timesCounted() const {
  return (m_input->iformat->flags & AVFMT_NOTIMESTAMPS) != 0;
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
    if (result == 0)
      return true;
    if (result == AVERROR_EOF) {
      if (m_kind == Kind::kDevice) {
        *error = "the device stopped delivering";
        return false;
      }
      if (m_kind == Kind::kNetwork) {
        *error = "the stream ended";
        return false;
      }
      if (!Rewind(error))
        return false;
      continue;
    }
    if (result != AVERROR(EAGAIN)) {
      *error = "decoding failed: " + AvErrorText(result);
      return false;
    }
    if (m_draining)
      continue;
    // A listener that falls silent goes on listening: its sender may come back.
    if (m_kind == Kind::kNetwork && m_listener)
      m_watchdog.Disarm();
    else if (m_kind == Kind::kNetwork)
      m_watchdog.Arm(kSilentSourceSeconds);
    const auto asked = std::chrono::steady_clock::now();
    result = av_read_frame(m_input.get(), m_packet.get());
    if (m_listener && std::chrono::steady_clock::now() - asked >=
                          std::chrono::duration<double>(kSilentSourceSeconds)) {
      // After a silence, what the decoder still holds was made before it; the stream is
      // taken up again at a key frame.
      avcodec_flush_buffers(m_decoder.get());
      m_awaitingKey = true;
    }
    if (result == AVERROR_EXIT) {
      *error = InterruptedText();
      return false;
    }
    if (result < 0) {
      if (result != AVERROR_EOF && live()) {
        *error = "reading failed: " + AvErrorText(result);
        return false;
      }
      // The end of a file (or an error in it): what the decoder holds comes out first.
      avcodec_send_packet(m_decoder.get(), nullptr);
      m_draining = true;
      continue;
    }
    if (m_packet->stream_index == m_stream &&
        !(m_awaitingKey && !(m_packet->flags & AV_PKT_FLAG_KEY))) {
      m_awaitingKey = false;
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
  if (!ReadAndDecode(frame, error))
    return false;
  const AVStream* stream = m_input->streams[m_stream];
  const double rate = declaredRate();
  const double step = m_decoder->codec_type == AVMEDIA_TYPE_AUDIO
                          ? static_cast<double>(frame->nb_samples) / std::max(1, frame->sample_rate)
                          : 1.0 / (rate > 0 ? rate : 25.0);
  double time;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) {
    time = frame->best_effort_timestamp * av_q2d(stream->time_base);
    if (m_firstTime < 0)
      m_firstTime = time;
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
