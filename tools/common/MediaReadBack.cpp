#include "tools/common/MediaReadBack.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"
#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

// One stream's decoder and its tally of where the stream starts and ends.
struct StreamDecoder {
  CodecContextPtr context;
  double first = std::numeric_limits<double>::max();
  double end = 0;
};

void Drain(AVCodecContext* context, AVFrame* frame, StreamReadBack* stream) {
  while (avcodec_receive_frame(context, frame) == 0) {
    ++stream->frames;
    // The video decoder hands out a damaged picture with what it could not read patched
    // over; only these flags tell it from a good one.
    if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
      ++stream->damagedFrames;
      ++stream->decodeErrors;
    }
    av_frame_unref(frame);
  }
}

}  // namespace

bool FileReadBack::Good() const {
  if (!opened || !error.empty() || streams.empty())
    return false;
  // A timecode or chapter track holds no picture or sound to decode.
  return std::all_of(streams.begin(), streams.end(), [](const StreamReadBack& s) {
    return s.kind == "other" || (s.frames > 0 && s.decodeErrors == 0);
  });
}

int FileReadBack::CountOf(const std::string& kind) const {
  return static_cast<int>(std::count_if(streams.begin(), streams.end(),
                                        [&](const StreamReadBack& s) { return s.kind == kind; }));
}

FileReadBack ReadBack(const std::string& path, const char* format) {
  FileReadBack file;
  file.path = path;
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    file.error = "no such file";
    return file;
  }
  file.bytes = info.st_size;

  AVFormatContext* raw = nullptr;
  const AVInputFormat* forced = format != nullptr ? av_find_input_format(format) : nullptr;
  int result = avformat_open_input(&raw, path.c_str(), forced, nullptr);
  if (result < 0) {
    file.error = AvErrorText(result);
    return file;
  }
  InputContextPtr input(raw);
  if ((result = avformat_find_stream_info(input.get(), nullptr)) < 0) {
    file.error = AvErrorText(result);
    return file;
  }
  file.opened = true;
  file.format = input->iformat->name;

  std::vector<StreamDecoder> decoders(input->nb_streams);
  file.streams.resize(input->nb_streams);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVCodecParameters* par = input->streams[i]->codecpar;
    StreamReadBack& stream = file.streams[i];
    stream.kind = par->codec_type == AVMEDIA_TYPE_VIDEO   ? "video"
                  : par->codec_type == AVMEDIA_TYPE_AUDIO ? "audio"
                                                          : "other";
    stream.codec = avcodec_get_name(par->codec_id);
    stream.width = par->width;
    stream.height = par->height;
    stream.sampleRate = par->sample_rate;
    stream.channels = par->ch_layout.nb_channels;
    // A timecode or chapter track has no picture or sound to decode (and a chapter
    // track's text is no packet a decoder of frames takes).
    const AVCodec* codec = stream.kind != "other" ? avcodec_find_decoder(par->codec_id) : nullptr;
    if (codec == nullptr)
      continue;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (context && avcodec_parameters_to_context(context.get(), par) >= 0 &&
        avcodec_open2(context.get(), codec, nullptr) >= 0)
      decoders[i].context = std::move(context);
  }

  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  for (;;) {
    result = av_read_frame(input.get(), packet.get());
    if (result == AVERROR_EOF)
      break;
    if (result < 0) {
      file.error = "reading stopped: " + AvErrorText(result);
      break;
    }
    const unsigned index = static_cast<unsigned>(packet->stream_index);
    if (index < decoders.size()) {
      StreamReadBack& stream = file.streams[index];
      StreamDecoder& decoder = decoders[index];
      ++stream.packets;
      const AVRational base = input->streams[index]->time_base;
      const int64_t start = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
      if (start != AV_NOPTS_VALUE) {
        decoder.first = std::min(decoder.first, start * av_q2d(base));
        decoder.end = std::max(decoder.end, (start + packet->duration) * av_q2d(base));
      }
      if (decoder.context) {
        if (avcodec_send_packet(decoder.context.get(), packet.get()) < 0)
          ++stream.decodeErrors;
        Drain(decoder.context.get(), frame.get(), &stream);
      }
    }
    av_packet_unref(packet.get());
  }
  for (size_t i = 0; i < decoders.size(); ++i) {
    StreamReadBack& stream = file.streams[i];
    if (decoders[i].context) {
      avcodec_send_packet(decoders[i].context.get(), nullptr);
      Drain(decoders[i].context.get(), frame.get(), &stream);
    }
    if (decoders[i].first <= decoders[i].end) {
      stream.seconds = decoders[i].end - decoders[i].first;
      stream.startSeconds = decoders[i].first;
      stream.endSeconds = decoders[i].end;
    }
    // A bare elementary stream has no times of its own: its nominal rate gives them.
    const AVRational rate = input->streams[i]->r_frame_rate;
    if (stream.seconds <= 0 && stream.kind == "video" && rate.num > 0 && rate.den > 0)
      stream.seconds = static_cast<double>(stream.packets) / av_q2d(rate);
    file.seconds = std::max(file.seconds, stream.seconds);
  }
  return file;
}

double StreamReadBack::PresentedSeconds() const {
  // A bare stream's length comes from its rate alone.
  if (endSeconds <= startSeconds)
    return seconds;
  return endSeconds - std::max(0.0, startSeconds);
}

}  // namespace sorvo::tools
