#include "codec/FileChapters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
}

namespace sorvo {

bool PutFileChapters(AVFormatContext* context,
                     std::vector<std::pair<double, std::string>> chapters,
                     double end) {
  std::stable_sort(chapters.begin(), chapters.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Microseconds: finer than any container's chapter times.
  const AVRational base{1, 1000000};
  std::vector<std::pair<int64_t, const std::string*>> starts;
  for (const auto& [time, title] : chapters) {
    const int64_t start = std::max<int64_t>(0, std::llround(time * 1e6));
    if (!starts.empty() && starts.back().first == start)
      starts.pop_back();
    starts.emplace_back(start, &title);
  }
  const int64_t last = std::llround(end * 1e6);
  for (size_t i = 0; i < starts.size() && starts[i].first < last; ++i) {
    AVChapter** grown = static_cast<AVChapter**>(
        av_realloc_array(context->chapters, context->nb_chapters + 1, sizeof(AVChapter*)));
    if (grown == nullptr)
      return false;
    context->chapters = grown;
    AVChapter* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (chapter == nullptr)
      return false;
    chapter->id = static_cast<int64_t>(i);
    chapter->time_base = base;
    chapter->start = starts[i].first;
    chapter->end = i + 1 < starts.size() ? std::min(starts[i + 1].first, last) : last;
    av_dict_set(&chapter->metadata, "title", starts[i].second->c_str(), 0);
    context->chapters[context->nb_chapters++] = chapter;
  }
  return true;
}

}  // namespace sorvo
