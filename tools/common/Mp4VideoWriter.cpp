#include "tools/common/Mp4VideoWriter.h"

#include <cstring>
#include <utility>
#include <vector>

#include "tools/common/AvError.h"
#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

Mp4VideoWriter::Mp4VideoWriter(std::string path, int width, int height, int frameRate)
    : m_path(std::move(path)),
      m_width(width),
      m_height(height),
      m_frameRate(frameRate > 0 ? frameRate : 25),
      m_packet(av_packet_alloc()) {}

Mp4VideoWriter::~Mp4VideoWriter() { Finish(); }

bool Mp4VideoWriter::Fail(const std::string& what, int code) {
  m_failed = true;
  m_error = what + (code < 0 ? ": " + AvErrorText(code) : "");
  m_output.reset();
  return false;
}

bool Mp4VideoWriter::Open(const uint8_t* data, size_t size) {
  AVFormatContext* raw = nullptr;
  int result = avformat_alloc_output_context2(&raw, nullptr, "mp4", m_path.c_str());
  if (result < 0) return Fail("cannot make an MP4 writer", result);
  OutputOwner output(raw);
  AVStream* stream = avformat_new_stream(output.get(), nullptr);
  if (stream == nullptr) return Fail("cannot add the video stream", AVERROR(ENOMEM));
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = AV_CODEC_ID_MPEG4;
  par->width = m_width;
  par->height = m_height;
  par->format = AV_PIX_FMT_YUV420P;
  const std::vector<uint8_t> config = Mpeg4DecoderConfig(data, size);
  if (!config.empty()) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (par->extradata == nullptr) return Fail("out of memory", AVERROR(ENOMEM));
    std::memcpy(par->extradata, config.data(), config.size());
    par->extradata_size = static_cast<int>(config.size());
  }
  stream->time_base = AVRational{1, m_frameRate};
  stream->avg_frame_rate = AVRational{m_frameRate, 1};
  if ((result = avio_open(&output->pb, m_path.c_str(), AVIO_FLAG_WRITE)) < 0)
    return Fail("cannot create " + m_path, result);
  if ((result = avformat_write_header(output.get(), nullptr)) < 0) {
    m_output = std::move(output);
    return Fail("cannot write the MP4 header", result);
  }
  m_output = std::move(output);
  return true;
}

Mp4VideoWriter::Result Mp4VideoWriter::Write(const uint8_t* data, size_t size, bool key,
                                             int64_t tick) {
  if (m_failed) return Result::kFailed;
  if (!m_output) {
    if (!key) return Result::kWaitingForKeyFrame;
    if (!Open(data, size)) return Result::kFailed;
  }
  if (tick <= m_lastTick) tick = m_lastTick + 1;
  AVStream* stream = m_output->streams[0];
  const AVRational frameBase{1, m_frameRate};
  av_packet_unref(m_packet.get());
  m_packet->data = const_cast<uint8_t*>(data);
  m_packet->size = static_cast<int>(size);
  m_packet->stream_index = 0;
  m_packet->flags = key ? AV_PKT_FLAG_KEY : 0;
  m_packet->pts = m_packet->dts = av_rescale_q(tick, frameBase, stream->time_base);
  m_packet->duration = av_rescale_q(1, frameBase, stream->time_base);
  // Without interleaving the muxer writes the bytes out before it returns.
  const int result = av_write_frame(m_output.get(), m_packet.get());
  m_packet->data = nullptr;
  m_packet->size = 0;
  if (result < 0) {
    Fail("writing " + m_path + " failed", result);
    return Result::kFailed;
  }
  m_lastTick = tick;
  ++m_packets;
  return Result::kWritten;
}

bool Mp4VideoWriter::Finish() {
  if (!m_output) return !m_failed;
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
