// Reads a written media file back the way a player would: libavformat for its streams and
// packets, libavcodec for every picture and audio frame. What the summaries print as proof
// that a recording is good.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct StreamReadBack {
  std::string kind;   // "video", "audio" or "other"
  std::string codec;  // FFmpeg's codec name
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  long long packets = 0;
  long long frames = 0;         // pictures or audio frames the decoder gave back
  long long decodeErrors = 0;   // packets the decoder refused, and damagedFrames
  long long damagedFrames = 0;  // of `frames`, those the decoder had to patch over
  double seconds = 0;           // from the first packet's start to the last one's end
  // The first packet's start and the last one's end on the file's timeline (a stream whose
  // first packets are cut by an edit list starts before 0).
  double startSeconds = 0;
  double endSeconds = 0;
  // How long it is presented: from the file's start, or its own first packet when later,
  // to its last packet's end.
  double PresentedSeconds() const;
};

struct FileReadBack {
  std::string path;
  bool opened = false;
  std::string error;   // why it could not be opened or read to its end
  std::string format;  // FFmpeg's short format name
  long long bytes = 0;
  double seconds = 0;  // the longest stream
  std::vector<StreamReadBack> streams;

  // Opened, read to the end, at least one stream, every stream with frames and no decode
  // errors.
  bool Good() const;
  int CountOf(const std::string& kind) const;
};

// `format` forces an input format by its short name (e.g. "m4v" for a bare stream).
FileReadBack ReadBack(const std::string& path, const char* format = nullptr);

}  // namespace sorvo::tools
