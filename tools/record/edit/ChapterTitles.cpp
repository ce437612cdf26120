#include "tools/record/edit/ChapterTitles.h"

#include <algorithm>

namespace sorvo::tools {

std::vector<Chapter> ChapterTitles(const std::vector<Shot>& shots,
                                   const std::vector<Mark>& marks,
                                   const std::vector<std::string>& names,
                                   const Timecode& timecode,
                                   double programStart) {
  std::vector<Chapter> chapters;
  size_t mark = 0;
  for (size_t i = 0; i < shots.size(); ++i) {
    const Shot& shot = shots[i];
    Chapter chapter;
    chapter.time = i == 0 ? std::min(shot.time, programStart) : shot.time;
    chapter.title = shot.camera >= 0 && static_cast<size_t>(shot.camera) < names.size()
                        ? names[shot.camera]
                        : "camera" + std::to_string(shot.camera);
    const bool last = i + 1 == shots.size();
    for (; mark < marks.size() && (last || marks[mark].time < shots[i + 1].time); ++mark)
      chapter.title += " | mark " +
                       Timecode::Text(timecode.FrameAt(marks[mark].time), timecode.rate()) +
                       (marks[mark].label.empty() ? "" : " " + marks[mark].label);
    chapters.push_back(std::move(chapter));
  }
  return chapters;
}

}  // namespace sorvo::tools
