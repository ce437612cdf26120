#include "tools/record/SessionReport.h"

namespace sorvo::tools {

Json SinkJson(const SinkStatus& sink) {
  return {{"name", sink.name},       {"title", sink.title}, {"source", sink.source},
          {"port", sink.port},       {"video", sink.video}, {"buffersIn", sink.buffersIn},
          {"packets", sink.packets}, {"bytes", sink.bytes}, {"dropped", sink.lost()}};
}

Json FileJson(const OutputFile& file) {
  return {{"path", file.path}, {"kind", KindName(file.kind)}, {"owner", file.owner}};
}

void AddCutJson(const SessionReport& report, Json* document) {
  Json switches = Json::array();
  for (const Shot& shot : report.switches)
    switches.push_back({{"time", shot.time}, {"camera", shot.camera}});
  Json marks = Json::array();
  for (const Mark& mark : report.marks)
    marks.push_back({{"time", mark.time}, {"label", mark.label}});
  (*document)["switches"] = std::move(switches);
  (*document)["marks"] = std::move(marks);
}

}  // namespace sorvo::tools
