#include "tools/record/edit/EdlWriter.h"

#include <algorithm>
#include <cstdio>

#include "tools/record/edit/TextFile.h"

namespace sorvo::tools {
namespace {

constexpr char kEnd[] = "\r\n";
// A title line holds at most 70 characters of title.
constexpr size_t kTitleLength = 70;
// Three digits of event number.
constexpr size_t kEventsPerList = 999;

// The file's name without its folder.
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A comment's text on one line: line breaks would end the comment and start a bad event.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\r' || c == '\n')
      c = ' ';
  return text;
}

// An out point: exclusive, so the end of a day is its midnight, not the next day's start.
std::string OutText(int64_t frame, int64_t day, int rate) {
  return frame > 0 && frame % day == 0 ? "24:00:00:00" : Timecode::Text(frame, rate);
}

// One event's line, with the blank line that sets it off.
std::string EventLine(int number,
                      const std::string& reel,
                      const char* channels,
                      int64_t sourceIn,
                      int64_t recordIn,
                      int64_t length,
                      const EditPlan& plan) {
  const int rate = plan.timecode.rate();
  char line[128];
  std::snprintf(line, sizeof(line), "\r\n%03d  %-8s %-5s %-8s %s %s %s %s", number, reel.c_str(),
                channels, "C", Timecode::Text(sourceIn, rate).c_str(),
                OutText(sourceIn + length, plan.Day(), rate).c_str(),
                Timecode::Text(recordIn, rate).c_str(),
                OutText(recordIn + length, plan.Day(), rate).c_str());
  return std::string(line) + kEnd;
}

// One list, line by line into `out`; `mark` is the first mark not yet written, and the
// last list takes every mark left.
void Emit(const EditPlan& plan,
          const std::vector<EditEvent>& events,
          bool last,
          const std::string& title,
          size_t* mark,
          const TextSink& out) {
  const int rate = plan.timecode.rate();
  out("TITLE: " + OneLine(title).substr(0, kTitleLength) + kEnd);
  out(std::string("FCM: NON-DROP FRAME") + kEnd);
  for (const EditEvent& event : events) {
    out(EventLine(event.number, ReelName(event.camera), "V", event.sourceIn, event.recordIn,
                  event.recordOut - event.recordIn, plan));
    if (const EditFile* source = plan.Source(event.camera))
      out("* FROM CLIP NAME: " + OneLine(BaseName(source->path)) + kEnd);
    // Marks before the first event belong to it; each other mark to the event it falls in.
    for (; *mark < plan.marks.size() &&
           (plan.marks[*mark].record < event.recordOut || (last && &event == &events.back()));
         ++*mark)
      out("* LOC: " + Timecode::Text(plan.marks[*mark].record, rate) + " YELLOW  " +
          OneLine(plan.marks[*mark].label) + kEnd);
  }
  // The sound under the list's span, after its shots so that the marks stay with them.
  if (!plan.HasSound() || events.empty())
    return;
  const int64_t in = std::max(events.front().recordIn, plan.soundIn);
  const int64_t outPoint = std::min(events.back().recordOut, plan.soundOut);
  if (outPoint <= in)
    return;
  out(EventLine(events.back().number + 1, kSoundReel, plan.sound.channels == 1 ? "A" : "AA",
                plan.soundSource + (in - plan.soundIn), in, outPoint - in, plan));
  out("* FROM CLIP NAME: " + OneLine(BaseName(plan.sound.path)) + kEnd);
}

// The title of list `index`.
std::string ListTitle(const std::string& title, size_t index) {
  if (index == 0)
    return title;
  const std::string number = " (" + std::to_string(index + 1) + ")";
  return OneLine(title).substr(0, kTitleLength - number.size()) + number;
}

}  // namespace

std::string ReelName(int camera) {
  return "CAM" + std::to_string(camera);
}

std::vector<std::vector<EditEvent>> EdlLists(const EditPlan& plan) {
  const int64_t day = plan.Day();
  // The sound's event takes a number in every list.
  const size_t shotsPerList = kEventsPerList - (plan.HasSound() ? 1 : 0);
  std::vector<std::vector<EditEvent>> lists;
  auto put = [&](EditEvent piece) {
    const bool sameDay = !lists.empty() && !lists.back().empty() &&
                         piece.recordIn / day == lists.back()[0].recordIn / day;
    if (!sameDay || lists.back().size() == shotsPerList)
      lists.emplace_back();
    piece.number = static_cast<int>(lists.back().size()) + 1;
    lists.back().push_back(piece);
  };
  for (const EditEvent& event : plan.events) {
    EditEvent piece = event;
    while (piece.recordIn < event.recordOut) {
      // Up to the next midnight of either side.
      const int64_t length = std::min({event.recordOut - piece.recordIn,
                                       (piece.recordIn / day + 1) * day - piece.recordIn,
                                       (piece.sourceIn / day + 1) * day - piece.sourceIn});
      piece.recordOut = piece.recordIn + length;
      piece.sourceOut = piece.sourceIn + length;
      put(piece);
      piece.recordIn = piece.recordOut;
      piece.sourceIn = piece.sourceOut;
    }
  }
  if (lists.empty())
    lists.emplace_back();
  return lists;
}

std::string EdlPath(const std::string& path, size_t index) {
  if (index == 0)
    return path;
  const size_t dot = path.find_last_of('.');
  const size_t slash = path.find_last_of('/');
  const size_t at =
      dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : path.size();
  return path.substr(0, at) + "-" + std::to_string(index + 1) + path.substr(at);
}

std::vector<std::string> EdlTexts(const EditPlan& plan, const std::string& title) {
  const std::vector<std::vector<EditEvent>> lists = EdlLists(plan);
  std::vector<std::string> texts;
  size_t mark = 0;
  for (size_t i = 0; i < lists.size(); ++i) {
    std::string text;
    Emit(plan, lists[i], i + 1 == lists.size(), ListTitle(title, i), &mark,
         [&text](std::string_view piece) { text += piece; });
    texts.push_back(std::move(text));
  }
  return texts;
}

bool WriteEdl(const EditPlan& plan,
              const std::string& title,
              const std::string& path,
              std::vector<std::string>* written,
              std::string* error) {
  const std::vector<std::vector<EditEvent>> lists = EdlLists(plan);
  size_t mark = 0;
  for (size_t i = 0; i < lists.size(); ++i) {
    const std::string listPath = EdlPath(path, i);
    if (!WriteTextFile(
            listPath,
            [&](const TextSink& out) {
              Emit(plan, lists[i], i + 1 == lists.size(), ListTitle(title, i), &mark, out);
            },
            error))
      return false;
    written->push_back(listPath);
  }
  return true;
}

}  // namespace sorvo::tools
