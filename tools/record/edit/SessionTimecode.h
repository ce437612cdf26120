// The session's timecode: the time of day, counted in whole pictures (non-drop), that every
// file of the session carries from its first picture on, so that editors line the files up.
//
// Threads: a value; any.
#pragma once

#include <cstdint>
#include <string>

namespace sorvo::tools {

class SessionTimecode {
 public:
  SessionTimecode() = default;
  // Session time 0 is `startOfDay` seconds after (local) midnight; `rate` pictures a second.
  SessionTimecode(double startOfDay, int rate) : m_startOfDay(startOfDay), m_rate(rate) {}

  int rate() const { return m_rate; }
  double startOfDay() const { return m_startOfDay; }
  // The picture of the day that session time `time` falls in, rounded to the nearest.
  int64_t FrameAt(double time) const;

  // "HH:MM:SS:FF" of picture `frame` of the day; the day wraps at midnight.
  static std::string Text(int64_t frame, int rate);
  // The picture of "HH:MM:SS:FF" (or with ';'); false for anything else, or fields out of
  // range for `rate`.
  static bool Parse(const std::string& text, int rate, int64_t* frame);

 private:
  double m_startOfDay = 0;
  int m_rate = 25;
};

}  // namespace sorvo::tools
