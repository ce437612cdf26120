// Keeps FFmpeg's log lines away from the terminal while a destination connects and writes:
// a connection that fails would otherwise print FFmpeg's lines on every retry, over the
// recorder's progress line. While a ThreadLogCapture lives on a thread, the warnings and
// errors FFmpeg logs on that thread are kept (the last one is the detail a message needs);
// lines on every other thread go to FFmpeg's own handler as before.
//
// One thread: the one that made it.
#pragma once

#include <string>

namespace sorvo::tools {

class ThreadLogCapture {
 public:
  ThreadLogCapture();
  ~ThreadLogCapture();
  ThreadLogCapture(const ThreadLogCapture&) = delete;
  ThreadLogCapture& operator=(const ThreadLogCapture&) = delete;

  // The last warning or error logged on this thread since the last call; empty when none.
  std::string TakeLast();

  // FFmpeg's handler calls this for the lines of this thread.
  void Keep(int level, const std::string& line);

 private:
  std::string m_last;
  ThreadLogCapture* m_outer;  // an enclosing capture on the same thread, restored after
};

}  // namespace sorvo::tools
