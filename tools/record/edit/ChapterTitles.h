// The titles of the director's chapters: one chapter per shot, titled with its camera's
// name; the marks made during a shot are added to its title with their timecodes (a mark
// as a chapter of its own would split its shot in two).
#pragma once

#include <string>
#include <vector>

#include "codec/Timecode.h"
#include "tools/record/edit/CutList.h"

namespace sorvo::tools {

struct Chapter {
  double time = 0;  // session seconds
  std::string title;
};

// `names` holds the camera names by number. Marks before the first shot join its title.
// The first shot is shown from the program's first picture (session time `programStart`)
// on, as the edit lists show it.
std::vector<Chapter> ChapterTitles(const std::vector<Shot>& shots,
                                   const std::vector<Mark>& marks,
                                   const std::vector<std::string>& names,
                                   const Timecode& timecode,
                                   double programStart);

}  // namespace sorvo::tools
