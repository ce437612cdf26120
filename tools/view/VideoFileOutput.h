// Where the viewer writes the packets it receives: an .m4v file holds the bare MPEG-4
// stream as it came; an .mp4 file gets each packet at the time its running number gives
// it, so that packets lost on the way leave a gap instead of hurrying the rest. Both begin
// with the first key frame. One thread; the file is finished when the object goes.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "tools/common/Mp4VideoWriter.h"

namespace sorvo::tools {

class VideoFileOutput {
 public:
  // Whether the name ends in .m4v or .mp4, the two kinds the viewer writes.
  static bool NameIsSupported(const std::string& path);
  // Whether the file keeps each packet's time (.mp4), rather than the bare stream (.m4v).
  static bool IsTimed(const std::string& path);

  VideoFileOutput(std::string path, int width, int height, int frameRate);
  ~VideoFileOutput();
  VideoFileOutput(const VideoFileOutput&) = delete;
  VideoFileOutput& operator=(const VideoFileOutput&) = delete;

  // False once writing failed (error() says why). Packets before the first key frame
  // are not written.
  bool Write(const uint8_t* data, size_t size, bool key, int64_t tick);
  bool Finish();

  long long written() const { return m_written; }
  const std::string& path() const { return m_path; }
  const std::string& error() const { return m_error; }

 private:
  struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  std::string m_path;
  std::unique_ptr<Mp4VideoWriter> m_mp4;
  std::unique_ptr<std::FILE, FileClose> m_elementary;
  bool m_started = false;
  long long m_written = 0;
  std::string m_error;
};

}  // namespace sorvo::tools
