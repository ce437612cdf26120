#include "tools/record/console/StatusDocument.h"

#include "tools/record/publish/PublishReport.h"

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

Json StatusJson(const ConsoleSnapshot& snapshot, const ConsoleView& view) {
  Json status = {{"seconds", snapshot.seconds},
                 {"state", ConsoleStateName(snapshot.state)},
                 {"outDir", snapshot.outDir},
                 {"plannedSeconds", snapshot.plannedSeconds},
                 {"directorCameras", snapshot.directorCameras},
                 {"program",
                  {{"camera", view.program.camera},
                   {"pending", view.program.pending},
                   {"since", view.program.since}}},
                 {"preview", {{"camera", view.preview}}}};
  Json sinks = Json::array();
  for (const SinkStatus& sink : snapshot.sinks) {
    const SinkRate rate = view.rates != nullptr ? view.rates->Of(sink.name) : SinkRate();
    Json entry = SinkJson(sink);
    entry["clients"] = sink.clients;
    entry["framesPerSecond"] = sink.video ? rate.framesPerSecond : 0.0;
    entry["bitsPerSecond"] = rate.bitsPerSecond;
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
  Json files = Json::array();
  if (view.storage != nullptr) {
    for (const FileSize& file : view.storage->files()) {
      Json entry = FileJson(file.file);
      entry["bytes"] = file.bytes;
      files.push_back(std::move(entry));
    }
  }
  status["files"] = std::move(files);
  status["disks"] = DisksJson(snapshot.disks);
  if (view.hasSound) {
    Json channels = Json::array();
    for (const ChannelLevel& level : view.levels)
      channels.push_back({{"peakDb", level.peakDb}, {"rmsDb", level.rmsDb}});
    status["sound"] = {{"channels", std::move(channels)}};
  } else {
    status["sound"] = nullptr;
  }
  AddCutJson(snapshot, &status);
  status["notes"] = snapshot.notes;
  status["publishing"] = PublishProgressText(snapshot.publish);
  status["publish"] = snapshot.publish.active ? PublishJson(snapshot.publish) : Json(nullptr);
  status["console"] = {{"connections", view.connections},
                       {"pages", view.pages},
                       {"streams", view.streams},
                       {"thumbnails", view.thumbnails}};
  return status;
}

}  // namespace sorvo::tools
