#include "tools/record/edit/SessionTimecode.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace sorvo::tools {

int64_t SessionTimecode::FrameAt(double time) const {
  return std::llround((m_startOfDay + time) * m_rate);
}

std::string SessionTimecode::Text(int64_t frame, int rate) {
  const int64_t day = int64_t{86400} * rate;
  frame %= day;
  if (frame < 0)
    frame += day;
  char text[64];
  std::snprintf(text, sizeof(text), "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ":%02" PRId64,
                frame / (int64_t{3600} * rate), frame / (int64_t{60} * rate) % 60,
                frame / rate % 60, frame % rate);
  return text;
}

bool SessionTimecode::Parse(const std::string& text, int rate, int64_t* frame) {
  if (text.size() != 11 || rate <= 0)
    return false;
  int fields[4];
  for (int i = 0; i < 4; ++i) {
    const char high = text[3 * i];
    const char low = text[3 * i + 1];
    if (high < '0' || high > '9' || low < '0' || low > '9')
      return false;
    if (i < 3 && text[3 * i + 2] != ':' && !(i == 2 && text[3 * i + 2] == ';'))
      return false;
    fields[i] = (high - '0') * 10 + (low - '0');
  }
  if (fields[0] > 23 || fields[1] > 59 || fields[2] > 59 || fields[3] >= rate)
    return false;
  *frame = ((int64_t{fields[0]} * 60 + fields[1]) * 60 + fields[2]) * rate + fields[3];
  return true;
}

}  // namespace sorvo::tools
