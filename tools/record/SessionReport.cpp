#include "tools/record/SessionReport.h"

namespace sorvo::tools {

Json SinkJson(const SinkStatus& sink) {
  return {{"name", sink.name},       {"title", sink.title}, {"source", sink.source},
          {"port", sink.port},       {"video", sink.video}, {"buffersIn", sink.buffersIn},
          {"packets", sink.packets}, {"bytes", sink.bytes}, {"dropped", sink.lost()}};
}

Json FileJson(const OutputFile& file) {
  Json entry = {{"path", file.path}, {"kind", KindName(file.kind)}, {"owner", file.owner}};
  if (file.stoppedAt >= 0) {
    entry["stoppedAt"] = file.stoppedAt;
    entry["stoppedWhy"] = file.stoppedWhy;
  }
  return entry;
}

Json DisksJson(const std::vector<DiskReading>& disks) {
  Json entries = Json::array();
  for (const DiskReading& disk : disks)
    entries.push_back({{"folder", disk.folder},
                       {"freeBytes", disk.freeBytes},
                       {"bytesPerSecond", disk.bytesPerSecond},
                       {"measured", disk.measured},
                       {"secondsLeft", disk.secondsLeft},
                       {"low", disk.low},
                       {"nearlyFull", disk.nearlyFull}});
  return entries;
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
