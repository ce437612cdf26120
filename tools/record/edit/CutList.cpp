#include "tools/record/edit/CutList.h"

#include <algorithm>
#include <iterator>

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
  if (m_journal != nullptr)
    m_journal->Switch(time, camera);
  const Shot shot{time, camera};
  const auto later = [](const Shot& a, const Shot& b) { return a.time < b.time; };
  if (m_switches.empty() || !later(shot, m_switches.back())) {
    m_switches.push_back(shot);
    m_shotsChanged = std::min(m_shotsChanged, Extend(&m_shots, shot));
    return;
  }
  // A switch that came after a later one (from another capture thread): the shots are made
  // again, and only those from the first that differs count as changed.
  m_switches.insert(std::upper_bound(m_switches.begin(), m_switches.end(), shot, later), shot);
  std::vector<Shot> shots;
  for (const Shot& each : m_switches)
    Extend(&shots, each);
  const auto differ = std::mismatch(
      m_shots.begin(), m_shots.end(), shots.begin(), shots.end(),
      [](const Shot& a, const Shot& b) { return a.time == b.time && a.camera == b.camera; });
  m_shotsChanged = std::min(m_shotsChanged, static_cast<size_t>(differ.first - m_shots.begin()));
  m_shots = std::move(shots);
}

size_t CutList::Extend(std::vector<Shot>* shots, Shot shot) {
  size_t changed = shots->size();
  // Of two switches at one moment the later stands; a switch to the camera already shown
  // is no new shot.
  if (!shots->empty() && shots->back().time == shot.time) {
    shots->pop_back();
    changed = shots->size();
  }
  if (shots->empty() || shots->back().camera != shot.camera)
    shots->push_back(shot);
  return changed;
}

void CutList::AddMark(double time, std::string label) {
  label = PrintableText(label);
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_journal != nullptr)
    m_journal->Mark(time, label);
  const auto at =
      std::upper_bound(m_marks.begin(), m_marks.end(), time,
                       [](double value, const Mark& mark) { return value < mark.time; });
  m_marksChanged = std::min(m_marksChanged, static_cast<size_t>(at - m_marks.begin()));
  m_marks.insert(at, {time, std::move(label)});
}

std::vector<Shot> CutList::Shots() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_shots;
}

std::vector<Mark> CutList::Marks() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_marks;
}

CutChange CutList::TakeChange() {
  std::lock_guard<std::mutex> hold(m_lock);
  CutChange change;
  change.shotsFrom = std::min(m_shotsChanged, m_shots.size());
  change.shots.assign(m_shots.begin() + static_cast<std::ptrdiff_t>(change.shotsFrom),
                      m_shots.end());
  change.marksFrom = std::min(m_marksChanged, m_marks.size());
  change.marks.assign(m_marks.begin() + static_cast<std::ptrdiff_t>(change.marksFrom),
                      m_marks.end());
  m_shotsChanged = m_shots.size();
  m_marksChanged = m_marks.size();
  return change;
}

namespace {

// `later`, made from index `laterFrom` of a list that `earlier` had changed from
// `earlierFrom` on, folded into `earlier`.
template <typename Entry>
void MergeList(size_t* earlierFrom,
               std::vector<Entry>* earlier,
               size_t laterFrom,
               std::vector<Entry>&& later) {
  if (laterFrom < *earlierFrom) {
    *earlierFrom = laterFrom;
    *earlier = std::move(later);
    return;
  }
  earlier->resize(std::min(earlier->size(), laterFrom - *earlierFrom));
  earlier->insert(earlier->end(), std::make_move_iterator(later.begin()),
                  std::make_move_iterator(later.end()));
}

template <typename Entry>
void ApplyList(size_t from, const std::vector<Entry>& change, std::vector<Entry>* list) {
  list->resize(std::min(from, list->size()));
  list->insert(list->end(), change.begin(), change.end());
}

}  // namespace

void CutChange::Merge(CutChange later) {
  MergeList(&shotsFrom, &shots, later.shotsFrom, std::move(later.shots));
  MergeList(&marksFrom, &marks, later.marksFrom, std::move(later.marks));
}

void CutChange::ApplyTo(std::vector<Shot>* cutShots, std::vector<Mark>* cutMarks) const {
  ApplyList(shotsFrom, shots, cutShots);
  ApplyList(marksFrom, marks, cutMarks);
}

}  // namespace sorvo::tools
