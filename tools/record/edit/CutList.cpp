#include "tools/record/edit/CutList.h"

#include <algorithm>

namespace sorvo::tools {

void CutList::AddSwitch(double time, int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_switches.push_back({time, camera});
}

void CutList::AddMark(double time, std::string label) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_marks.push_back({time, std::move(label)});
}

std::vector<Shot> CutList::Shots() const {
  std::vector<Shot> switches;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    switches = m_switches;
  }
  std::stable_sort(switches.begin(), switches.end(),
                   [](const Shot& a, const Shot& b) { return a.time < b.time; });
  std::vector<Shot> shots;
  for (const Shot& shot : switches) {
    if (!shots.empty() && shots.back().time == shot.time)
      shots.pop_back();
    if (!shots.empty() && shots.back().camera == shot.camera)
      continue;
    shots.push_back(shot);
  }
  return shots;
}

std::vector<Mark> CutList::Marks() const {
  std::vector<Mark> marks;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    marks = m_marks;
  }
  std::stable_sort(marks.begin(), marks.end(),
                   [](const Mark& a, const Mark& b) { return a.time < b.time; });
  return marks;
}

}  // namespace sorvo::tools
