// Rebuilds a regular MP4 from a fragmented one, as a recording killed while it was written
// leaves it (the library writes every MP4 as fragments until it closes): each picture and
// sound packet of every complete fragment is copied, with its times, into a new file with
// its index at the end. A fragment whose writing was cut short was never made visible and
// is not read.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct FragmentedStream {
  std::string kind;  // "video" or "audio"
  long long packets = 0;
};

// Copies the video and audio streams of `input` into `output`. False with `error` when the
// input does not open as MP4 or the output cannot be written; true with no streams when
// the input holds no complete fragment.
bool RescueFragmented(const std::string& input,
                      const std::string& output,
                      std::vector<FragmentedStream>* streams,
                      std::string* error);

}  // namespace sorvo::tools
