#include "tools/record/edit/CutList.h"

#include <algorithm>

#include "tools/record/edit/CutJournal.h"

namespace sorvo::tools {

std::string PrintableText(const std::string& text) {
  std::string printable = text;
  for (size_t i = 0; i < printable.size();) {
    const auto byte = static_cast<unsigned char>(printable[i]);
    // The length of the UTF-8 sequence `byte` starts, 0 for a byte that starts none.
    const size_t length = byte < 0x80                   ? 1
                          : byte >= 0xC2 && byte < 0xE0 ? 2
                          : byte >= 0xE0 && byte < 0xF0 ? 3
                          : byte >= 0xF0 && byte < 0xF5 ? 4
                                                        : 0;
    bool good = length > 0 && i + length <= printable.size();
    for (size_t k = 1; good && k < length; ++k)
      good = (static_cast<unsigned char>(printable[i + k]) & 0xC0) == 0x80;
    // Overlong and surrogate forms of three and four bytes are no characters either.
    const auto second = good && length > 1 ? static_cast<unsigned char>(printable[i + 1]) : 0;
    good = good && !(byte == 0xE0 && second < 0xA0) && !(byte == 0xED && second >= 0xA0) &&
           !(byte == 0xF0 && second < 0x90) && !(byte == 0xF4 && second >= 0x90);
    const bool control = byte < 0x20 || byte == 0x7F || (byte == 0xC2 && second < 0xA0);
    if (!good || control) {
      printable.replace(i, good ? length : 1, " ");
      ++i;
      continue;
    }
    i += length;
  }
  return printable;
}

void CutList::SetJournal(CutJournal* journal) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_journal = journal;
}

void CutList::AddSwitch(double time, int camera) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_switches.push_back({time, camera});
  if (m_journal != nullptr)
    m_journal->Switch(time, camera);
}

void CutList::AddMark(double time, std::string label) {
  label = PrintableText(label);
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_journal != nullptr)
    m_journal->Mark(time, label);
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
