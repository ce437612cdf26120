// The cut of a session as it is made: every camera switch that takes effect in the
// director's pictures, and every mark (from the console or the m key), in session time.
//
// Each switch and mark also goes to the session's journal, when it has one, as it is made.
// A mark's label is kept printable (see PrintableText): it reaches every edit list, the
// chapters and the journal, none of which can hold control characters.
//
// Threads: AddSwitch and AddMark from any thread (the library's capture threads, the
// console's, the control thread); the getters take a copy. m_lock guards both lists and
// the journal pointer, and is taken before the journal's own lock: the journal gets the
// lines in the order the lists do.
#pragma once

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

 private:
  mutable std::mutex m_lock;
  std::vector<Shot> m_switches;  // as they came
  std::vector<Mark> m_marks;
  CutJournal* m_journal = nullptr;
};

}  // namespace sorvo::tools
