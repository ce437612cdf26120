#include "tools/record/edit/OtioWriter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tools/record/edit/TextFile.h"

namespace sorvo::tools {
namespace {

using nlohmann::json;

json Time(int64_t frames, int rate) {
  return {{"OTIO_SCHEMA", "RationalTime.1"},
          {"rate", static_cast<double>(rate)},
          {"value", static_cast<double>(frames)}};
}

json Range(int64_t start, int64_t duration, int rate) {
  return {{"OTIO_SCHEMA", "TimeRange.1"},
          {"duration", Time(duration, rate)},
          {"start_time", Time(start, rate)}};
}

json Gap(int64_t duration, int rate) {
  return {{"OTIO_SCHEMA", "Gap.1"},
          {"name", ""},
          {"source_range", Range(0, duration, rate)},
          {"effects", json::array()},
          {"markers", json::array()},
          {"enabled", true},
          {"metadata", json::object()}};
}

// A clip of `source` from `sourceIn` for `length` pictures.
json FileClip(const EditFile& source,
              int64_t sourceIn,
              int64_t length,
              json metadata,
              const EditPlan& plan) {
  const int rate = plan.timecode.rate();
  const int64_t start = plan.SourceStart(source);
  // The file runs from its first timecode to where the program ends.
  const int64_t available =
      std::max(sourceIn + length, plan.recordEnd - plan.recordStart + start) - start;
  json reference = {
      {"OTIO_SCHEMA", "ExternalReference.1"}, {"name", source.name},
      {"target_url", FileUrl(source.path)},   {"available_range", Range(start, available, rate)},
      {"available_image_bounds", nullptr},    {"metadata", json::object()}};
  return {{"OTIO_SCHEMA", "Clip.2"},
          {"name", source.name},
          {"source_range", Range(sourceIn, length, rate)},
          {"media_references", {{"DEFAULT_MEDIA", reference}}},
          {"active_media_reference_key", "DEFAULT_MEDIA"},
          {"effects", json::array()},
          {"markers", json::array()},
          {"enabled", true},
          {"metadata", {{"sorvo", std::move(metadata)}}}};
}

json Clip(const EditEvent& event, const EditPlan& plan) {
  return FileClip(*plan.Source(event.camera), event.sourceIn, event.sourceOut - event.sourceIn,
                  {{"camera", event.camera}}, plan);
}

json Track(const char* name, const char* kind, json children, json markers) {
  return {{"OTIO_SCHEMA", "Track.1"},
          {"name", name},
          {"kind", kind},
          {"source_range", nullptr},
          {"children", std::move(children)},
          {"effects", json::array()},
          {"markers", std::move(markers)},
          {"enabled", true},
          {"metadata", json::object()}};
}

// The sound file on a track of its own, from where its first sample falls.
json SoundTrack(const EditPlan& plan) {
  json children = json::array();
  if (plan.soundIn > plan.recordStart)
    children.push_back(Gap(plan.soundIn - plan.recordStart, plan.timecode.rate()));
  children.push_back(FileClip(plan.sound, plan.soundSource, plan.soundOut - plan.soundIn,
                              {{"sound", true}}, plan));
  return Track("Sound", "Audio", std::move(children), json::array());
}

}  // namespace

std::string FileUrl(const std::string& path) {
  std::error_code failed;
  std::string absolute = std::filesystem::absolute(path, failed).lexically_normal().string();
  if (failed)
    absolute = path;
  std::string url = "file://";
  for (unsigned char c : absolute) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      url += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof(escaped), "%%%02X", c);
      url += escaped;
    }
  }
  return url;
}

namespace {

// Where the streamed arrays go in the document's frame: a string value that the frame's
// text holds exactly so, after its key, and nowhere else (a title with the same text is
// written as "name": "...", never after these keys).
constexpr char kChildren[] = "\"children\": \"\\u0000children\"";
constexpr char kMarkers[] = "\"markers\": \"\\u0000markers\"";

// `value` as the document's text at nesting `depth`: its lines indented to it.
std::string Indented(const json& value, size_t depth) {
  std::string text = value.dump(4);
  const std::string indent(depth, ' ');
  std::string out = indent;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    out += c;
    if (c == '\n')
      out += indent;
  }
  return out;
}

// Writes the items that `next` hands out, one at a time, as the JSON array that stands in
// `frame` at `placeholder` ("key": "..."), the frame's text up to there first.
template <typename Next>
void EmitArray(const std::string& frame,
               size_t* from,
               const char* placeholder,
               Next next,
               const TextSink& out) {
  const size_t at = frame.find(placeholder, *from);
  const size_t line = frame.rfind('\n', at) + 1;
  const size_t key = frame.find('"', line);
  const size_t value = frame.find(':', at) + 2;
  out(std::string_view(frame).substr(*from, value - *from));
  *from = at + std::strlen(placeholder);
  json item;
  if (!next(&item)) {
    out("[]");
    return;
  }
  const size_t depth = key - line + 4;
  out("[\n" + Indented(item, depth));
  while (next(&item))
    out(",\n" + Indented(item, depth));
  out("\n" + std::string(key - line, ' ') + "]");
}

void Emit(const EditPlan& plan, const std::string& title, const TextSink& out) {
  const int rate = plan.timecode.rate();
  // The document's frame, with the track's children and markers left to stream: they grow
  // with the session (a shot every two seconds is 14,400 clips in eight hours), and as one
  // JSON tree they would take ten times their text in memory.
  json tracks = json::array({Track("Program", "Video", std::string(1, '\0') + "children",
                                   std::string(1, '\0') + "markers")});
  if (plan.HasSound())
    tracks.push_back(SoundTrack(plan));
  json stack = {{"OTIO_SCHEMA", "Stack.1"}, {"name", "tracks"},          {"source_range", nullptr},
                {"children", tracks},       {"effects", json::array()},  {"markers", json::array()},
                {"enabled", true},          {"metadata", json::object()}};
  json timeline = {{"OTIO_SCHEMA", "Timeline.1"},
                   {"name", title},
                   {"global_start_time", Time(plan.recordStart, rate)},
                   {"tracks", stack},
                   {"metadata", {{"sorvo", {{"program", FileUrl(plan.program.path)}}}}}};
  const std::string frame = timeline.dump(4) + "\n";

  // Clips, and gaps where the program shows no shot.
  size_t event = 0;
  int64_t at = plan.recordStart;
  bool ended = false;
  auto child = [&](json* item) {
    if (event < plan.events.size() && plan.events[event].recordIn > at) {
      *item = Gap(plan.events[event].recordIn - at, rate);
      at = plan.events[event].recordIn;
      return true;
    }
    if (event < plan.events.size()) {
      *item = Clip(plan.events[event], plan);
      at = plan.events[event++].recordOut;
      return true;
    }
    if (!ended && plan.recordEnd > at) {
      *item = Gap(plan.recordEnd - at, rate);
      ended = true;
      return true;
    }
    return false;
  };
  size_t mark = 0;
  auto marker = [&](json* item) {
    if (mark >= plan.marks.size())
      return false;
    const EditMark& next = plan.marks[mark++];
    *item = {{"OTIO_SCHEMA", "Marker.2"},
             {"name", next.label},
             {"marked_range", Range(next.record - plan.recordStart, 0, rate)},
             {"color", "YELLOW"},
             {"comment", ""},
             {"metadata", json::object()}};
    return true;
  };
  size_t from = 0;
  EmitArray(frame, &from, kChildren, child, out);
  EmitArray(frame, &from, kMarkers, marker, out);
  out(std::string_view(frame).substr(from));
}

}  // namespace

std::string OtioText(const EditPlan& plan, const std::string& title) {
  std::string text;
  Emit(plan, title, [&text](std::string_view piece) { text += piece; });
  return text;
}

bool WriteOtio(const EditPlan& plan,
               const std::string& title,
               const std::string& path,
               std::string* error) {
  return WriteTextFile(
      path, [&](const TextSink& out) { Emit(plan, title, out); }, error);
}

}  // namespace sorvo::tools
