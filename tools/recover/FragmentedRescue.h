// Rebuilds a regular MP4 from a fragmented one, as a recording killed while it was written
// leaves it (the library writes every MP4 as fragments until it closes): each picture and
// sound packet of every complete fragment is copied, with its times, into a new file with
// its index at the end. A fragment whose writing was cut short was never made visible and
// is not read. The pictures keep their first timecode (a new timecode track), and the file
// may be given chapters.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sorvo::tools {

struct FragmentedStream {
  std::string kind;  // "video" or "audio"
  long long packets = 0;
  double end = 0;  // seconds from the file's start to the end of its last packet
};

// Chapters: start in seconds from the file's start, title.
using FileChapterList = std::vector<std::pair<double, std::string>>;

// Copies the video and audio streams of `input` into `output`, with `chapters` (each up to
// the next, the last to the end of the pictures). False with `error` when the input does not open
// as MP4 or the output cannot be written; true with no streams when the input holds no complete
// fragment.
bool RescueFragmented(const std::string& input,
                      const std::string& output,
                      const FileChapterList& chapters,
                      std::vector<FragmentedStream>* streams,
                      std::string* error);

}  // namespace sorvo::tools
