#include "tools/record/edit/EdlWriter.h"

#include <cstdio>

#include "tools/record/edit/TextFile.h"

namespace sorvo::tools {
namespace {

constexpr char kEnd[] = "\r\n";
// A title line holds at most 70 characters of title.
constexpr size_t kTitleLength = 70;

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

}  // namespace

std::string ReelName(int camera) {
  return "CAM" + std::to_string(camera);
}

namespace {

// The list, line by line into `out`.
void Emit(const EditPlan& plan, const std::string& title, const TextSink& out) {
  const int rate = plan.timecode.rate();
  out("TITLE: " + OneLine(title).substr(0, kTitleLength) + kEnd);
  out(std::string("FCM: NON-DROP FRAME") + kEnd);
  size_t mark = 0;
  for (const EditEvent& event : plan.events) {
    char line[128];
    std::snprintf(line, sizeof(line), "\r\n%03d  %-8s %-5s %-8s %s %s %s %s", event.number,
                  ReelName(event.camera).c_str(), "V", "C",
                  Timecode::Text(event.sourceIn, rate).c_str(),
                  Timecode::Text(event.sourceOut, rate).c_str(),
                  Timecode::Text(event.recordIn, rate).c_str(),
                  Timecode::Text(event.recordOut, rate).c_str());
    out(std::string(line) + kEnd);
    if (const EditFile* source = plan.Source(event.camera))
      out("* FROM CLIP NAME: " + OneLine(BaseName(source->path)) + kEnd);
    // Marks before the first event belong to it; each other mark to the event it falls in.
    for (; mark < plan.marks.size() &&
           (plan.marks[mark].record < event.recordOut || &event == &plan.events.back());
         ++mark)
      out("* LOC: " + Timecode::Text(plan.marks[mark].record, rate) + " YELLOW  " +
          OneLine(plan.marks[mark].label) + kEnd);
  }
}

}  // namespace

std::string EdlText(const EditPlan& plan, const std::string& title) {
  std::string text;
  Emit(plan, title, [&text](std::string_view piece) { text += piece; });
  return text;
}

bool WriteEdl(const EditPlan& plan,
              const std::string& title,
              const std::string& path,
              std::string* error) {
  return WriteTextFile(
      path, [&](const TextSink& out) { Emit(plan, title, out); }, error);
}

}  // namespace sorvo::tools
