// Rebuilds an MP4 file from recovered MPEG-4 Part 2 packets: the first key frame tells the
// picture size and frame rate (unless the user fixed the rate), and from there on every
// packet is written at its tick. Packets before the first key frame cannot be decoded by
// anyone and are counted, not written. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/common/Mp4VideoWriter.h"

namespace sorvo::tools {

class Mp4Rebuilder {
 public:
  // `frameRate` 0: take the one the stream declares (25 when it declares none).
  Mp4Rebuilder(std::string path, int frameRate);

  // False once writing has failed (error() says why); nothing more is taken then.
  bool Add(const uint8_t* data, size_t size, int64_t tick);
  // Finishes the file; false when that failed.
  bool Finish();

  long long written() const { return m_writer ? m_writer->packets() : 0; }
  long long beforeKeyFrame() const { return m_beforeKeyFrame; }
  int width() const { return m_width; }
  int height() const { return m_height; }
  int frameRate() const { return m_frameRate; }
  // Where the frame rate came from: "the stream's headers", "--fps" or "a guess".
  const std::string& rateSource() const { return m_rateSource; }
  const std::string& error() const { return m_error; }

 private:
  std::string m_path;
  int m_frameRate;
  std::string m_rateSource;
  int m_width = 0;
  int m_height = 0;
  std::unique_ptr<Mp4VideoWriter> m_writer;
  long long m_beforeKeyFrame = 0;
  std::string m_error;
};

}  // namespace sorvo::tools
