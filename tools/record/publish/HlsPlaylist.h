// The playlist players read, kept apart from the one FFmpeg's HLS writer keeps beside it in
// the same folder (so that both name the same segments). The public one is a copy of the
// writer's, made once the writer's lists three target durations of segments or has ended,
// and replaced whole (written under a temporary name, then renamed) at each update.
//
// A player that comes to a live playlist holding less than three target durations starts
// too near its live end: Chromium failed every time it came to one of one or two segments,
// with MediaError 4 (its HLS demuxer reports DEMUXER_ERROR_COULD_NOT_PARSE), and did not
// recover. A live client is to start at least three target durations from the end, which
// a shorter playlist cannot give.
//
// One thread: the destination's.
#pragma once

#include <string>

namespace sorvo::tools {

class HlsPlaylist {
 public:
  explicit HlsPlaylist(std::string publicPath);

  // Where FFmpeg's HLS writer keeps its playlist.
  const std::string& writerPath() const { return m_writerPath; }
  // A new session's: a public playlist left by an earlier session goes, rather than be
  // played until this session's is long enough.
  void Restart();
  // The writer updated its playlist: copied to the public one when long enough or ended.
  // False with `error` when the copy cannot be written.
  bool Update(std::string* error);

 private:
  const std::string m_publicPath;
  const std::string m_writerPath;
  std::string m_published;  // the text last copied
};

}  // namespace sorvo::tools
