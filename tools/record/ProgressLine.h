// The recorder's progress: elapsed time, pictures per camera, dropped pictures, the bit
// rate of everything encoded since the last line, and connected clients. On a terminal it
// is one line rewritten in place; otherwise a plain line each time it is shown.
// Control thread only.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/record/SinkStatus.h"

namespace sorvo::tools {

class ProgressLine {
 public:
  explicit ProgressLine(std::FILE* out);

  bool inPlace() const { return m_inPlace; }
  // `extra` is appended, e.g. which camera the director shows.
  void Show(double elapsed, const std::vector<SinkStatus>& sinks, const std::string& extra);
  // A message on a line of its own; the progress line comes back with the next Show.
  void Message(const std::string& text);
  // Leaves the in-place line, so that what follows starts on a fresh line.
  void Finish();

  static std::string Format(double elapsed, const std::vector<SinkStatus>& sinks,
                            double bitsPerSecond, const std::string& extra);

 private:
  std::FILE* m_out;
  bool m_inPlace;
  bool m_lineOpen = false;
  double m_lastElapsed = 0;
  long long m_lastBytes = 0;
};

}  // namespace sorvo::tools
