// Writes MPEG-4 Part 2 packets that arrive without time stamps (from the network or out of
// a damaged recording) into an MP4 file that plays at its frame rate.
//
// The file is made when the first key frame arrives: its in-band headers become the
// decoder configuration of the MP4's 'esds' box. Packets before it are refused. Each packet
// is presented at the tick the caller gives it, in frames since the start; a gap in the
// ticks stays a gap in time, so that a lost packet does not hurry the rest.
//
// One thread at a time. The destructor finishes an open file (writes its trailer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/common/Mp4Output.h"

namespace sorvo::tools {

class Mp4VideoWriter {
 public:
  Mp4VideoWriter(std::string path, int width, int height, int frameRate);
  ~Mp4VideoWriter();
  Mp4VideoWriter(const Mp4VideoWriter&) = delete;
  Mp4VideoWriter& operator=(const Mp4VideoWriter&) = delete;

  enum class Result { kWritten, kWaitingForKeyFrame, kFailed };
  // Writes one packet presented at `tick`; a tick not above the last one is moved just
  // after it. On kFailed, error() says why and the writer takes nothing more.
  Result Write(const uint8_t* data, size_t size, bool key, int64_t tick);
  // Writes the trailer and closes the file; false (see error()) when that failed.
  bool Finish();

  bool opened() const { return m_output.opened(); }
  long long packets() const { return m_output.packets(0); }
  const std::string& error() const { return m_output.error(); }

 private:
  int m_width;
  int m_height;
  int m_frameRate;
  Mp4Output m_output;
  bool m_started = false;
};

}  // namespace sorvo::tools
