#include "tools/record/console/StatusDocument.h"

namespace sorvo::tools {

const char* ConsoleStateName(ConsoleSessionState state) {
  switch (state) {
    case ConsoleSessionState::kRecording:
      return "recording";
    case ConsoleSessionState::kStopping:
      return "stopping";
    case ConsoleSessionState::kEnded:
      return "ended";
  }
  return "";
}

nlohmann::json StatusJson(const ConsoleSnapshot& snapshot, const ConsoleView& view) {
  using nlohmann::json;
  json status;
  status["seconds"] = snapshot.seconds;
  status["state"] = ConsoleStateName(snapshot.state);
  status["outDir"] = snapshot.outDir;
  status["program"] = {{"camera", view.program.camera},
                       {"pending", view.program.pending},
                       {"since", view.program.since}};
  json sinks = json::array();
  for (const ConsoleSink& sink : snapshot.sinks) {
    const SinkRate rate = view.rates != nullptr ? view.rates->Of(sink.name) : SinkRate();
    json entry = {{"name", sink.name},
                  {"source", sink.source},
                  {"port", sink.port},
                  {"video", sink.video},
                  {"buffersIn", sink.buffersIn},
                  {"packets", sink.packets},
                  {"bytes", sink.bytes},
                  {"dropped", sink.dropped},
                  {"clients", sink.clients},
                  {"framesPerSecond", sink.video ? rate.framesPerSecond : 0.0},
                  {"bitsPerSecond", rate.bitsPerSecond}};
    int slot = -1;
    if (sink.camera >= 0 && sink.camera < kConsoleCameras) {
      entry["camera"] = sink.camera;
      entry["signal"] = SignalStateName(view.signal[sink.camera]);
      slot = sink.camera;
    } else if (sink.name == "director") {
      slot = kProgramSlot;
    }
    if (slot >= 0) {
      entry["width"] = view.pictureSizes[slot][0];
      entry["height"] = view.pictureSizes[slot][1];
    }
    sinks.push_back(std::move(entry));
  }
  status["sinks"] = std::move(sinks);
  json files = json::array();
  json disks = json::array();
  if (view.storage != nullptr) {
    for (const FileSize& file : view.storage->files())
      files.push_back(
          {{"path", file.path}, {"kind", file.kind}, {"owner", file.owner}, {"bytes", file.bytes}});
    for (const DiskSpace& disk : view.storage->disks())
      disks.push_back({{"folder", disk.folder},
                       {"freeBytes", disk.freeBytes},
                       {"bytesPerSecond", disk.bytesPerSecond},
                       {"secondsLeft", disk.secondsLeft},
                       {"low", disk.low}});
  }
  status["files"] = std::move(files);
  status["disks"] = std::move(disks);
  if (view.hasSound) {
    json channels = json::array();
    for (const ChannelLevel& level : view.levels)
      channels.push_back({{"peakDb", level.peakDb}, {"rmsDb", level.rmsDb}});
    status["sound"] = {{"channels", std::move(channels)}};
  } else {
    status["sound"] = nullptr;
  }
  json switches = json::array();
  for (const ConsoleSwitch& cut : snapshot.switches)
    switches.push_back({{"time", cut.time}, {"camera", cut.camera}});
  status["switches"] = std::move(switches);
  json marks = json::array();
  for (const ConsoleMark& mark : snapshot.marks)
    marks.push_back({{"time", mark.time}, {"label", mark.label}});
  status["marks"] = std::move(marks);
  status["notes"] = snapshot.notes;
  status["publishing"] = snapshot.publishing;
  status["console"] = {{"connections", view.connections},
                       {"pages", view.pages},
                       {"streams", view.streams},
                       {"thumbnails", view.thumbnails}};
  return status;
}

}  // namespace sorvo::tools
