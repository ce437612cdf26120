// Shows the library's log lines on standard error while the recorder runs, on lines of
// their own: on a terminal the progress line is cleared first (the next progress update
// draws it again), so that the two never run into each other. Debug lines are left out.
// Installed for the object's life; the handler may be called on any of the library's
// threads.
#pragma once

namespace sorvo::tools {

class LibraryLog {
 public:
  LibraryLog();
  ~LibraryLog();
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;
};

}  // namespace sorvo::tools
