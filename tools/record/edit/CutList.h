// The cut of a session as it is made: every camera switch that takes effect in the
// director's pictures, and every mark (from the console or the m key), in session time.
//
// Threads: AddSwitch and AddMark from any thread (the library's capture threads, the
// console's, the control thread); the getters take a copy. m_lock guards both lists.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sorvo::tools {

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

  // The shots in time order: a switch to the camera already shown is no new shot, and of
  // two switches at one moment the later stands.
  std::vector<Shot> Shots() const;
  // The marks in time order.
  std::vector<Mark> Marks() const;

 private:
  mutable std::mutex m_lock;
  std::vector<Shot> m_switches;  // as they came
  std::vector<Mark> m_marks;
};

}  // namespace sorvo::tools
