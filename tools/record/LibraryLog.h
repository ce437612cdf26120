// Shows the library's log lines on standard error while the recorder runs, above the
// progress line (which is drawn again below them). Debug lines are left out.
//
// The director's resize warning is the library's own text and stays as it is; the first
// time it names a camera, the recorder adds a note of its own saying what it means, since
// the warning shows equal numbers when only the pixel format differs.
//
// Installed for the object's life; the progress line must outlive it. The handler may be
// called on any of the library's threads; m_lock guards m_explained.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "tools/record/ProgressLine.h"

namespace sorvo::tools {

class LibraryLog {
 public:
  explicit LibraryLog(ProgressLine& progress);
  ~LibraryLog();
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

  // What one of the library's lines means in the recorder's words, with the camera it is
  // about; empty for lines that need no word.
  struct Explanation {
    std::string camera;
    std::string text;
  };
  static Explanation Explain(const std::string& line);

  // The handler's work, for the line `text` at `level`.
  void Show(int level, const std::string& text);

 private:
  ProgressLine& m_progress;
  std::mutex m_lock;
  std::set<std::string> m_explained;  // cameras whose warning has been explained
};

}  // namespace sorvo::tools
