// The time of day as timecode: whole pictures since midnight at a whole rate, non-drop,
// written "HH:MM:SS:FF" and wrapping at midnight. Every file of a recording carries it
// from its first picture on (the MP4 timecode track), and the edit lists give their times
// in it, so that an editor lines the files up. The text is libavutil's.
//
// Threads: a value; any.
#pragma once

#include <cstdint>
#include <string>

#include "host/SorvoExport.h"

namespace sorvo {

class SORVO_EXPORT Timecode {
 public:
  Timecode() = default;
  // Time 0 is `startOfDay` seconds after (local) midnight; `rate` pictures a second.
  Timecode(double startOfDay, int rate) : m_startOfDay(startOfDay), m_rate(rate) {}

  int rate() const { return m_rate; }
  double startOfDay() const { return m_startOfDay; }
  // The picture of the day that `time` (seconds after time 0) falls in, to the nearest.
  int64_t FrameAt(double time) const;
  // "HH:MM:SS:FF" of the picture at `time`.
  std::string TextAt(double time) const { return Text(FrameAt(time), m_rate); }

  // "HH:MM:SS:FF" of picture `frame` of the day; the day wraps at midnight, both ways.
  static std::string Text(int64_t frame, int rate);
  // The picture of "HH:MM:SS:FF" (or with ';' before the frames); false for anything else,
  // or fields out of range for `rate`.
  static bool Parse(const std::string& text, int rate, int64_t* frame);

 private:
  double m_startOfDay = 0;
  int m_rate = 25;
};

}  // namespace sorvo
