#include "tools/record/SessionReport.h"

namespace sorvo::tools {

Json SinkJson(const SinkStatus& sink) {
  Json entry = {{"name", sink.name},       {"title", sink.title}, {"source", sink.source},
                {"port", sink.port},       {"video", sink.video}, {"buffersIn", sink.buffersIn},
                {"packets", sink.packets}, {"bytes", sink.bytes}, {"dropped", sink.lost()}};
  const SignalLossTally& tally = sink.lossTally;
  if (tally.count > 0)
    entry["signalLossTally"] = {{"count", tally.count},
                                {"firstLostAt", tally.firstLostAt},
                                {"lastLostAt", tally.lastLostAt},
                                {"secondsLost", tally.secondsLost}};
  return entry;
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

Json ShotJson(const Shot& shot) {
  return {{"time", shot.time}, {"camera", shot.camera}};
}

Json MarkJson(const Mark& mark) {
  return {{"time", mark.time}, {"label", mark.label}};
}

void AddCutJson(const SessionReport& report, Json* document) {
  Json switches = Json::array();
  for (const Shot& shot : report.switches)
    switches.push_back(ShotJson(shot));
  Json marks = Json::array();
  for (const Mark& mark : report.marks)
    marks.push_back(MarkJson(mark));
  (*document)["switches"] = std::move(switches);
  (*document)["marks"] = std::move(marks);
}

}  // namespace sorvo::tools
