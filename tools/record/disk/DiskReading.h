// One file system a session writes to, as the recorder last read it: the progress line,
// the console's /api/status and the summary say the same of it.
#pragma once

#include <string>

namespace sorvo::tools {

struct DiskReading {
  std::string folder;  // the first of the session's folders on it
  long long freeBytes = 0;
  // How fast the free space falls, whoever writes: measured over the last seconds once
  // there are enough of them, the session's own estimate before that.
  double bytesPerSecond = 0;
  bool measured = false;
  double secondsLeft = -1;  // until it is full at that rate; -1 while it does not fall
  bool low = false;         // less than ten minutes left
  // Too little left to finish the session's files safely: outputs that copy others go.
  bool nearlyFull = false;
};

}  // namespace sorvo::tools
