// The recorder's progress: elapsed time, pictures per camera (and which have no signal),
// dropped pictures, the bit rate of everything encoded since the last line, and connected
// clients. A source's signal lost or back is said once, above the line. On a terminal it
// is one line rewritten in place, cut to the terminal's width so that it never wraps;
// otherwise a plain line each time it is shown.
//
// Messages and the library's log lines go above the line, which is drawn again below them
// at once: on a terminal the two never run into each other.
//
// The dropped count a person watches never goes down: while the sinks run only the pictures
// that can no longer arrive are counted, and each sink's count keeps its highest value; the
// line shown after the sinks have closed holds the exact counts of the summary.
//
// Threads: Show and Finish on the control thread; Message and LibraryLine on any thread
// (the library logs from its own threads). m_lock guards everything below it, and the two
// streams are written only under it.
#pragma once

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/record/SinkStatus.h"

namespace sorvo::tools {

class ProgressLine {
 public:
  // Progress and messages go to `out`, the library's lines to `log`.
  explicit ProgressLine(std::FILE* out, std::FILE* log = stderr);

  bool inPlace() const { return m_inPlace; }
  // `extra` is appended, e.g. which camera the director shows.
  void Show(double elapsed, const std::vector<SinkStatus>& sinks, const std::string& extra);
  // The line once the sinks have closed, marked "final", with the bit rate of the whole
  // session (the last interval may be a moment, holding the queues' last packets).
  void ShowFinal(double elapsed, const std::vector<SinkStatus>& sinks);
  // A message on a line of its own on `out`.
  void Message(const std::string& text);
  // One of the library's log lines, on `log`.
  void LibraryLine(const std::string& text);
  // Leaves the in-place line, so that what follows starts on a fresh line.
  void Finish();

  // What the counters of the line count, said once before the first line.
  static const char* Legend();
  static std::string Format(double elapsed,
                            const std::vector<SinkStatus>& sinks,
                            long long dropped,
                            double bitsPerSecond,
                            const std::string& extra);

 private:
  // Writes `text` and a line end to `stream` above the progress line. m_lock held.
  void AboveLocked(std::FILE* stream, const std::string& text);
  // Says each signal lost or back not said yet. m_lock held.
  void TellSignalLocked(const std::vector<SinkStatus>& sinks);
  void ShowLocked(double elapsed,
                  const std::vector<SinkStatus>& sinks,
                  double bitsPerSecond,
                  const std::string& extra);
  // The line cut to the terminal's width, or whole when the width is unknown.
  std::string FittedLocked(const std::string& line) const;

  std::FILE* const m_out;
  std::FILE* const m_log;
  const bool m_inPlace;
  // The log shares the terminal: its lines must clear the progress line first.
  const bool m_logOnTerminal;
  std::mutex m_lock;
  std::string m_line;  // the line on screen while m_lineOpen
  bool m_lineOpen = false;
  double m_lastElapsed = 0;
  long long m_lastBytes = 0;
  // Per sink, the highest number of pictures it let go that was shown.
  std::map<std::string, long long> m_dropped;
  // Per sink, how many of its losses and returns were said (of every loss so far).
  struct SignalTold {
    size_t losses = 0;
    size_t backs = 0;
  };
  std::map<std::string, SignalTold> m_signalTold;
};

}  // namespace sorvo::tools
