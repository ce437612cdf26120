#include "tools/record/edit/Cmx3600Reader.h"

#include <cctype>
#include <sstream>

#include "codec/Timecode.h"

namespace sorvo::tools {
namespace {

// A timecode field; an out point may be the end of the day.
bool ReadTime(const std::string& text, int rate, int64_t* frames, bool out) {
  if (out && text == "24:00:00:00") {
    *frames = int64_t{86400} * rate;
    return true;
  }
  return sorvo::Timecode::Parse(text, rate, frames);
}

bool ReelName(const std::string& reel) {
  if (reel.empty() || reel.size() > 8)
    return false;
  for (char c : reel)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
      return false;
  return true;
}

// A field of fixed columns, its padding spaces taken off the right.
std::string Field(const std::string& line, size_t from, size_t width) {
  std::string field = line.substr(from, width);
  while (!field.empty() && field.back() == ' ')
    field.pop_back();
  return field;
}

}  // namespace

CmxList ReadCmx3600(const std::string& text, int rate) {
  CmxList list;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  // Where the last event on pictures and on sound ended: each kind's record times run in
  // order on their own (the sound lies under the pictures).
  int64_t pictureEnd = -1;
  int64_t soundEnd = -1;
  auto error = [&](const std::string& what) {
    list.errors.push_back("line " + std::to_string(number) + ": " + what + ": \"" + line + "\"");
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20)
        error("control character");
    if (number == 1) {
      if (line.compare(0, 7, "TITLE: ") != 0 || line.size() > 7 + 70)
        error("the first line must be TITLE: and at most 70 characters");
      list.title = line.size() > 7 ? line.substr(7) : "";
      continue;
    }
    if (line.empty() || line[0] == '*') {
      if (!line.empty() && !list.events.empty())
        list.events.back().comments.push_back(line.size() > 2 ? line.substr(2) : "");
      continue;
    }
    if (line.compare(0, 5, "FCM: ") == 0) {
      if (!list.events.empty() || !list.fcm.empty())
        error("FCM only once, before the events");
      list.fcm = line.substr(5);
      if (list.fcm != "NON-DROP FRAME" && list.fcm != "DROP FRAME")
        error("unknown frame code mode");
      continue;
    }
    if (line.size() != 76) {
      error("an event line has 76 columns");
      continue;
    }
    CmxEvent event;
    const std::string eventNumber = line.substr(0, 3);
    for (char c : eventNumber)
      if (!std::isdigit(static_cast<unsigned char>(c)))
        error("event number");
    event.number = std::atoi(eventNumber.c_str());
    if (line.substr(3, 2) != "  " || line[13] != ' ' || line[19] != ' ' || line[28] != ' ' ||
        line[40] != ' ' || line[52] != ' ' || line[64] != ' ')
      error("fields out of their columns");
    event.reel = Field(line, 5, 8);
    if (!ReelName(event.reel) || line[5] == ' ')
      error("reel name");
    event.channels = Field(line, 14, 5);
    if (event.channels != "V" && event.channels != "A" && event.channels != "A2" &&
        event.channels != "B" && event.channels != "AA" && event.channels != "AA/V")
      error("channels");
    event.transition = Field(line, 20, 8);
    if (event.transition != "C")
      error("transition (only cuts here)");
    const bool times = ReadTime(line.substr(29, 11), rate, &event.sourceIn, false) &&
                       ReadTime(line.substr(41, 11), rate, &event.sourceOut, true) &&
                       ReadTime(line.substr(53, 11), rate, &event.recordIn, false) &&
                       ReadTime(line.substr(65, 11), rate, &event.recordOut, true);
    if (!times)
      error("timecode");
    if (event.sourceOut <= event.sourceIn || event.recordOut <= event.recordIn)
      error("an out point not after its in point");
    if (event.sourceOut - event.sourceIn != event.recordOut - event.recordIn)
      error("a cut of another length on the source than on the record");
    if (event.number != (list.events.empty() ? 1 : list.events.back().number + 1))
      error("event numbers must count up from 001");
    const bool pictures = event.channels.find('V') != std::string::npos || event.channels == "B";
    const bool sound = event.channels != "V";
    if ((pictures && event.recordIn < pictureEnd) || (sound && event.recordIn < soundEnd))
      error("record times out of order or overlapping");
    if (pictures)
      pictureEnd = event.recordOut;
    if (sound)
      soundEnd = event.recordOut;
    list.events.push_back(event);
  }
  if (list.fcm.empty())
    list.errors.push_back("no FCM line");
  return list;
}

}  // namespace sorvo::tools
