// Chapters handed to FFmpeg's MP4 muxer, which takes them before it writes its header:
// each runs from its start to the next one's, the last to the file's end. Used by the
// library's file writer and by sorvo-recover when it gives a rescued file its chapters.
//
// Threads: a function; the caller owns the context.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "host/SorvoExport.h"

struct AVFormatContext;

namespace sorvo {

// Adds `chapters` (start in seconds from the file's start, title) to `context`, in time
// order: a start before the file's is its start, a later chapter from the same moment
// takes the place of the earlier, and chapters from `end` (seconds) on are left out.
// False when memory ran out.
SORVO_EXPORT bool PutFileChapters(AVFormatContext* context,
                                  std::vector<std::pair<double, std::string>> chapters,
                                  double end);

}  // namespace sorvo
