#include "tools/common/Mp4VideoWriter.h"

#include <utility>

#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

Mp4VideoWriter::Mp4VideoWriter(std::string path, int width, int height, int frameRate)
    : m_width(width), m_height(height), m_frameRate(frameRate), m_output(std::move(path)) {}

Mp4VideoWriter::~Mp4VideoWriter() {
  Finish();
}

Mp4VideoWriter::Result Mp4VideoWriter::Write(const uint8_t* data,
                                             size_t size,
                                             bool key,
                                             int64_t tick) {
  if (!m_started) {
    if (!key)
      return Result::kWaitingForKeyFrame;
    m_started = true;
    m_output.AddVideo(m_width, m_height, m_frameRate, Mpeg4DecoderConfig(data, size));
    if (!m_output.Open())
      return Result::kFailed;
  }
  return m_output.Write(0, data, size, key, tick) ? Result::kWritten : Result::kFailed;
}

bool Mp4VideoWriter::Finish() {
  return m_output.Finish();
}

}  // namespace sorvo::tools
