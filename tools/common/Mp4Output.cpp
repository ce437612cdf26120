#include "tools/common/Mp4Output.h"

#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

constexpr int kDefaultFrameRate = 25;

}  // namespace

Mp4Output::Mp4Output(std::string path) : m_path(std::move(path)), m_packet(av_packet_alloc()) {}

Mp4Output::~Mp4Output() {
  Finish();
}

int Mp4Output::AddVideo(int width, int height, int frameRate, std::vector<uint8_t> config) {
  Stream stream;
  stream.width = width;
  stream.height = height;
  stream.tickLength = AVRational{1, frameRate > 0 ? frameRate : kDefaultFrameRate};
  stream.config = std::move(config);
  m_streams.push_back(std::move(stream));
  return static_cast<int>(m_streams.size()) - 1;
}

int Mp4Output::AddMp3(int sampleRate, int channels, int frameSamples) {
  Stream stream;
  stream.video = false;
  stream.sampleRate = sampleRate;
  stream.channels = channels;
  stream.tickLength = AVRational{frameSamples, sampleRate};
  m_streams.push_back(std::move(stream));
  return static_cast<int>(m_streams.size()) - 1;
}

long long Mp4Output::packets(int stream) const {
  return stream >= 0 && stream < static_cast<int>(m_streams.size()) ? m_streams[stream].packets : 0;
}

bool Mp4Output::Fail(const std::string& what, int code) {
  m_failed = true;
  m_error = what + (code < 0 ? ": " + AvErrorText(code) : "");
  m_output.reset();
  return false;
}

bool Mp4Output::AddToContext(AVFormatContext* context, const Stream& stream) {
  AVStream* added = avformat_new_stream(context, nullptr);
  if (added == nullptr)
    return false;
  AVCodecParameters* par = added->codecpar;
  if (stream.video) {
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_MPEG4;
    par->width = stream.width;
    par->height = stream.height;
    par->format = AV_PIX_FMT_YUV420P;
    added->avg_frame_rate = av_inv_q(stream.tickLength);
  } else {
    par->codec_type = AVMEDIA_TYPE_AUDIO;
    par->codec_id = AV_CODEC_ID_MP3;
    par->sample_rate = stream.sampleRate;
    par->frame_size = stream.tickLength.num;
    av_channel_layout_default(&par->ch_layout, stream.channels);
  }
  if (!stream.config.empty()) {
    par->extradata =
        static_cast<uint8_t*>(av_mallocz(stream.config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr)
      return false;
    std::memcpy(par->extradata, stream.config.data(), stream.config.size());
    par->extradata_size = static_cast<int>(stream.config.size());
  }
  added->time_base = stream.video ? stream.tickLength : AVRational{1, stream.sampleRate};
  return true;
}

bool Mp4Output::Open() {
  if (m_failed || m_output)
    return !m_failed;
  AVFormatContext* raw = nullptr;
  int result = avformat_alloc_output_context2(&raw, nullptr, "mp4", m_path.c_str());
  if (result < 0)
    return Fail("cannot make an MP4 writer", result);
  OutputContextPtr output(raw);
  for (const Stream& stream : m_streams) {
    if (!AddToContext(output.get(), stream))
      return Fail("cannot add a stream", AVERROR(ENOMEM));
  }
  if ((result = avio_open(&output->pb, m_path.c_str(), AVIO_FLAG_WRITE)) < 0)
    return Fail("cannot create " + m_path, result);
  if ((result = avformat_write_header(output.get(), nullptr)) < 0) {
    m_output = std::move(output);
    return Fail("cannot write the MP4 header", result);
  }
  m_output = std::move(output);
  return true;
}

bool Mp4Output::Write(int index, const uint8_t* data, size_t size, bool key, int64_t tick) {
  if (m_failed || !m_output || index < 0 || index >= static_cast<int>(m_streams.size()))
    return false;
  Stream& stream = m_streams[index];
  if (tick <= stream.lastTick)
    tick = stream.lastTick + 1;
  const AVRational base = m_output->streams[index]->time_base;
  av_packet_unref(m_packet.get());
  m_packet->data = const_cast<uint8_t*>(data);
  m_packet->size = static_cast<int>(size);
  m_packet->stream_index = index;
  m_packet->flags = key ? AV_PKT_FLAG_KEY : 0;
  m_packet->pts = m_packet->dts = av_rescale_q(tick, stream.tickLength, base);
  m_packet->duration = av_rescale_q(1, stream.tickLength, base);
  // Without interleaving the muxer writes the bytes out before it returns.
  const int result = av_write_frame(m_output.get(), m_packet.get());
  m_packet->data = nullptr;
  m_packet->size = 0;
  if (result < 0)
    return Fail("writing " + m_path + " failed", result);
  stream.lastTick = tick;
  ++stream.packets;
  return true;
}

bool Mp4Output::Finish() {
  if (!m_output)
    return !m_failed;
  const int result = av_write_trailer(m_output.get());
  m_output.reset();
  if (result < 0) {
    m_failed = true;
    m_error = "writing the end of " + m_path + " failed: " + AvErrorText(result);
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
