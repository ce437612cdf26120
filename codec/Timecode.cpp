#include "codec/Timecode.h"

#include <cmath>

extern "C" {
#include <libavutil/timecode.h>
}

namespace sorvo {

int64_t Timecode::FrameAt(double time) const {
  return std::llround((m_startOfDay + time) * m_rate);
}

std::string Timecode::Text(int64_t frame, int rate) {
  if (rate <= 0)
    return "";
  const int64_t day = int64_t{86400} * rate;
  frame %= day;
  if (frame < 0)
    frame += day;
  // Filled in here rather than by av_timecode_init, which warns on every call about rates
  // outside the broadcast ones (the recorder's 1 to 35 pictures a second are mostly such).
  AVTimecode timecode{};
  timecode.rate = AVRational{rate, 1};
  timecode.fps = static_cast<unsigned>(rate);
  char text[AV_TIMECODE_STR_SIZE];
  std::string written = av_timecode_make_string(&timecode, text, static_cast<int>(frame));
  // libavutil gives the frames of a rate below eleven one digit; an edit decision list
  // and the files' timecode keep two in every field.
  const size_t frames = written.find_last_of(":;") + 1;
  if (written.size() - frames < 2)
    written.insert(frames, "0");
  return written;
}

bool Timecode::Parse(const std::string& text, int rate, int64_t* frame) {
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

}  // namespace sorvo
