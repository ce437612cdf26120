// The cut of a session as it is made: every camera switch that takes effect in the
// director's pictures, and every mark (from the console or the m key), in session time.
//
// Each switch and mark also goes to the session's journal, when it has one, as it is made.
// A mark's label is kept printable (see PrintableText): it reaches every edit list, the
// chapters and the journal, none of which can hold control characters.
//
// The shots are kept in order as the switches come (almost always at the end), so that a
// reader of the whole cut copies it and one that follows it (TakeChange) gets only what is
// new: a session of many hours is never sorted again.
//
// Threads: AddSwitch and AddMark from any thread (the library's capture threads, the
// console's, the control thread); the getters take a copy; TakeChange has one caller at a
// time. m_lock guards everything below, and is taken before the journal's own lock: the
// journal gets the lines in the order the lists do.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace sorvo::tools {

class CutJournal;

// `text` with every control character (C0, DEL, C1) and every byte that is not part of
// well-formed UTF-8 replaced by a space.
std::string PrintableText(const std::string& text);

struct Shot {
  double time = 0;  // session seconds where the director's file first shows the camera
  int camera = 0;   // its number
};

struct Mark {
  double time = 0;  // session seconds
  std::string label;
};

// What became of a cut since it was last looked at: its shots from index shotsFrom on are
// now `shots` (those before are as they were), and likewise its marks. Nothing changed when
// the two indexes are the lengths already known and the lists are empty.
struct CutChange {
  size_t shotsFrom = 0;
  std::vector<Shot> shots;
  size_t marksFrom = 0;
  std::vector<Mark> marks;

  // `later` made on top of this one: the two as one change.
  void Merge(CutChange later);
  // Brings a cut (`shots`, `marks`) that was as this change found it up to date.
  void ApplyTo(std::vector<Shot>* shots, std::vector<Mark>* marks) const;
};

class CutList {
 public:
  // Camera `camera` is shown from session time `time` on.
  void AddSwitch(double time, int camera);
  void AddMark(double time, std::string label);
  // Where the switches and marks are journaled from now on; null for nowhere.
  void SetJournal(CutJournal* journal);

  // The shots in time order: a switch to the camera already shown is no new shot, and of
  // two switches at one moment the later stands.
  std::vector<Shot> Shots() const;
  // The marks in time order.
  std::vector<Mark> Marks() const;
  // What changed since the last call (the whole cut at the first).
  CutChange TakeChange();

 private:
  // Adds the switch `shot`, the latest so far, to the shots; the lowest index it changed.
  static size_t Extend(std::vector<Shot>* shots, Shot shot);

  mutable std::mutex m_lock;
  std::vector<Shot> m_switches;  // in time order; of switches at one moment, as they came
  std::vector<Shot> m_shots;
  std::vector<Mark> m_marks;  // in time order
  // The lowest index changed since TakeChange.
  size_t m_shotsChanged = 0;
  size_t m_marksChanged = 0;
  CutJournal* m_journal = nullptr;
};

}  // namespace sorvo::tools
