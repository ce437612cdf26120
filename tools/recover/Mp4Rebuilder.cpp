#include "tools/recover/Mp4Rebuilder.h"

#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Probe.h"

namespace sorvo::tools {
namespace {

constexpr int kGuessedRate = 25;

}  // namespace

Mp4Rebuilder::Mp4Rebuilder(std::string path, int frameRate)
    : m_path(std::move(path)), m_frameRate(frameRate), m_rateSource(frameRate > 0 ? "--fps" : "") {}

bool Mp4Rebuilder::Add(const uint8_t* data, size_t size, int64_t tick) {
  if (!m_error.empty()) return false;
  const bool key = Mpeg4FirstPictureType(data, size) == Mpeg4PictureType::kIntra;
  if (!m_writer) {
    Mpeg4Parameters parameters;
    if (!key || Mpeg4DecoderConfig(data, size).empty() ||
        !ProbeMpeg4KeyFrame(data, size, &parameters)) {
      ++m_beforeKeyFrame;
      return true;
    }
    m_width = parameters.width;
    m_height = parameters.height;
    if (m_frameRate <= 0) {
      m_frameRate = parameters.frameRate > 0 ? parameters.frameRate : kGuessedRate;
      m_rateSource = parameters.frameRate > 0 ? "the stream's headers" : "a guess";
    }
    m_writer = std::make_unique<Mp4VideoWriter>(m_path, m_width, m_height, m_frameRate);
  }
  if (m_writer->Write(data, size, key, tick) == Mp4VideoWriter::Result::kFailed) {
    m_error = m_writer->error();
    return false;
  }
  return true;
}

bool Mp4Rebuilder::Finish() {
  if (!m_writer) return m_error.empty();
  if (!m_writer->Finish()) {
    m_error = m_writer->error();
    return false;
  }
  return m_error.empty();
}

}  // namespace sorvo::tools
