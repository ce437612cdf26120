#include "tools/record/edit/OtioWriter.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
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

json Clip(const EditEvent& event, const EditPlan& plan) {
  const int rate = plan.timecode.rate();
  const EditFile& source = *plan.Source(event.camera);
  const int64_t start = plan.SourceStart(source);
  // The file's pictures run from its first timecode to where the program ends.
  const int64_t available =
      std::max(event.sourceOut, plan.recordEnd - plan.recordStart + start) - start;
  json reference = {
      {"OTIO_SCHEMA", "ExternalReference.1"}, {"name", source.name},
      {"target_url", FileUrl(source.path)},   {"available_range", Range(start, available, rate)},
      {"available_image_bounds", nullptr},    {"metadata", json::object()}};
  return {{"OTIO_SCHEMA", "Clip.2"},
          {"name", source.name},
          {"source_range", Range(event.sourceIn, event.sourceOut - event.sourceIn, rate)},
          {"media_references", {{"DEFAULT_MEDIA", reference}}},
          {"active_media_reference_key", "DEFAULT_MEDIA"},
          {"effects", json::array()},
          {"markers", json::array()},
          {"enabled", true},
          {"metadata", {{"sorvo", {{"camera", event.camera}}}}}};
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

std::string OtioText(const EditPlan& plan, const std::string& title) {
  const int rate = plan.timecode.rate();
  json children = json::array();
  int64_t at = plan.recordStart;
  for (const EditEvent& event : plan.events) {
    if (event.recordIn > at)
      children.push_back(Gap(event.recordIn - at, rate));
    children.push_back(Clip(event, plan));
    at = event.recordOut;
  }
  if (plan.recordEnd > at)
    children.push_back(Gap(plan.recordEnd - at, rate));

  json markers = json::array();
  for (const EditMark& mark : plan.marks)
    markers.push_back({{"OTIO_SCHEMA", "Marker.2"},
                       {"name", mark.label},
                       {"marked_range", Range(mark.record - plan.recordStart, 0, rate)},
                       {"color", "YELLOW"},
                       {"comment", ""},
                       {"metadata", json::object()}});

  json track = {{"OTIO_SCHEMA", "Track.1"}, {"name", "Program"},    {"kind", "Video"},
                {"source_range", nullptr},  {"children", children}, {"effects", json::array()},
                {"markers", markers},       {"enabled", true},      {"metadata", json::object()}};
  json stack = {{"OTIO_SCHEMA", "Stack.1"}, {"name", "tracks"},
                {"source_range", nullptr},  {"children", json::array({track})},
                {"effects", json::array()}, {"markers", json::array()},
                {"enabled", true},          {"metadata", json::object()}};
  json timeline = {{"OTIO_SCHEMA", "Timeline.1"},
                   {"name", title},
                   {"global_start_time", Time(plan.recordStart, rate)},
                   {"tracks", stack},
                   {"metadata", {{"sorvo", {{"program", FileUrl(plan.program.path)}}}}}};
  return timeline.dump(4) + "\n";
}

bool WriteOtio(const EditPlan& plan,
               const std::string& title,
               const std::string& path,
               std::string* error) {
  return WriteTextFile(path, OtioText(plan, title), error);
}

}  // namespace sorvo::tools
