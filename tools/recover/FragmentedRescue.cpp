#include "tools/recover/FragmentedRescue.h"

#include <algorithm>

extern "C" {
#include <libavformat/avformat.h>
}

#include "codec/FFDeleters.h"
#include "codec/FileChapters.h"
#include "tools/common/AvError.h"

namespace sorvo::tools {

namespace {

// `input` opened with its streams known; null with `error`.
InputContextPtr OpenFragmented(const std::string& input, std::string* error) {
  AVFormatContext* opened = nullptr;
  int result = avformat_open_input(&opened, input.c_str(), av_find_input_format("mp4"), nullptr);
  if (result < 0) {
    *error = "the fragmented MP4 does not open: " + AvErrorText(result);
    return nullptr;
  }
  InputContextPtr in(opened);
  if ((result = avformat_find_stream_info(in.get(), nullptr)) < 0) {
    *error = "the fragmented MP4's streams cannot be read: " + AvErrorText(result);
    return nullptr;
  }
  return in;
}

// Where the pictures of `input` end, in seconds from its start: a pass over its packets
// (chapters go into the header, before the packets are copied).
bool PicturesEnd(const std::string& input, double* end, std::string* error) {
  InputContextPtr in = OpenFragmented(input, error);
  if (!in)
    return false;
  PacketPtr packet(av_packet_alloc());
  *end = 0;
  while (av_read_frame(in.get(), packet.get()) >= 0) {
    const AVStream* stream = in->streams[packet->stream_index];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && packet->pts != AV_NOPTS_VALUE)
      *end = std::max(*end, (packet->pts + packet->duration) * av_q2d(stream->time_base));
    av_packet_unref(packet.get());
  }
  return true;
}

}  // namespace

bool RescueFragmented(const std::string& input,
                      const std::string& output,
                      const FileChapterList& chapters,
                      std::vector<FragmentedStream>* streams,
                      std::string* error) {
  streams->clear();
  InputContextPtr in = OpenFragmented(input, error);
  if (!in)
    return false;
  int result = 0;
  AVFormatContext* made = nullptr;
  if ((result = avformat_alloc_output_context2(&made, nullptr, "mp4", output.c_str())) < 0) {
    *error = "cannot make an MP4: " + AvErrorText(result);
    return false;
  }
  OutputContextPtr out(made);
  // Input stream -> output stream; the chapter track stays behind, and the timecode track
  // is made anew from the first timecode the reader found.
  std::vector<int> map(in->nb_streams, -1);
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* from = in->streams[i];
    const AVMediaType type = from->codecpar->codec_type;
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
      continue;
    AVStream* to = avformat_new_stream(out.get(), nullptr);
    if (to == nullptr || avcodec_parameters_copy(to->codecpar, from->codecpar) < 0) {
      *error = "out of memory";
      return false;
    }
    to->codecpar->codec_tag = 0;
    to->time_base = from->time_base;
    const AVDictionaryEntry* timecode = av_dict_get(from->metadata, "timecode", nullptr, 0);
    if (type == AVMEDIA_TYPE_VIDEO && timecode != nullptr) {
      av_dict_set(&to->metadata, "timecode", timecode->value, 0);
      // The muxer's timecode track counts in whole pictures a second.
      to->avg_frame_rate = from->avg_frame_rate;
    }
    map[i] = to->index;
    streams->push_back({type == AVMEDIA_TYPE_VIDEO ? "video" : "audio", 0});
  }
  if (streams->empty())
    return true;
  double end = 0;
  if (!chapters.empty() &&
      (!PicturesEnd(input, &end, error) || !sorvo::PutFileChapters(out.get(), chapters, end))) {
    if (error->empty())
      *error = "out of memory";
    return false;
  }
  if ((result = avio_open(&out->pb, output.c_str(), AVIO_FLAG_WRITE)) < 0 ||
      (result = avformat_write_header(out.get(), nullptr)) < 0) {
    *error = "cannot write " + output + ": " + AvErrorText(result);
    return false;
  }
  PacketPtr packet(av_packet_alloc());
  long long total = 0;
  while ((result = av_read_frame(in.get(), packet.get())) >= 0) {
    const int to = map[packet->stream_index];
    if (to >= 0) {
      ++(*streams)[to].packets;
      const AVRational base = in->streams[packet->stream_index]->time_base;
      if (packet->pts != AV_NOPTS_VALUE)
        (*streams)[to].end =
            std::max((*streams)[to].end, (packet->pts + packet->duration) * av_q2d(base));
      ++total;
      av_packet_rescale_ts(packet.get(), in->streams[packet->stream_index]->time_base,
                           out->streams[to]->time_base);
      packet->stream_index = to;
      packet->pos = -1;
      if ((result = av_interleaved_write_frame(out.get(), packet.get())) < 0) {
        *error = "writing " + output + " failed: " + AvErrorText(result);
        return false;
      }
    }
    av_packet_unref(packet.get());
  }
  if (total == 0) {
    streams->clear();
    return true;
  }
  if ((result = av_write_trailer(out.get())) < 0) {
    *error = "finishing " + output + " failed: " + AvErrorText(result);
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
