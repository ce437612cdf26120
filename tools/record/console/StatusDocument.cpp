#include "tools/record/console/StatusDocument.h"

#include <algorithm>

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

namespace {

// The part of `list` that `pages` asks for as the list kPagedLists[which], and its place in
// `lists`.
template <typename Entry, typename Write>
Json Page(const std::vector<Entry>& list,
          const ListPages& pages,
          int which,
          const Write& write,
          Json* lists) {
  const size_t total = list.size();
  const size_t asked = pages.from[which];
  const size_t from = asked == ListPages::kLatest ? total - std::min(total, pages.count[which])
                                                  : std::min(asked, total);
  const size_t end = std::min(total, from + pages.count[which]);
  Json entries = Json::array();
  for (size_t i = from; i < end; ++i)
    entries.push_back(write(list[i]));
  (*lists)[kPagedLists[which]] = {{"total", total}, {"from", from}};
  return entries;
}

}  // namespace

Json CutEventJson(size_t shotsFrom,
                  const std::vector<Shot>& shots,
                  size_t shotsEnd,
                  size_t marksFrom,
                  const std::vector<Mark>& marks,
                  size_t marksEnd) {
  Json switches = Json::array();
  for (size_t i = shotsFrom; i < shotsEnd; ++i)
    switches.push_back(ShotJson(shots[i]));
  Json marked = Json::array();
  for (size_t i = marksFrom; i < marksEnd; ++i)
    marked.push_back(MarkJson(marks[i]));
  return {{"event", "cut"},
          {"switchesFrom", shotsFrom},
          {"switches", std::move(switches)},
          {"marksFrom", marksFrom},
          {"marks", std::move(marked)}};
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
  static const std::vector<Shot> kNoShots;
  static const std::vector<Mark> kNoMarks;
  Json lists = Json::object();
  status["switches"] =
      Page(view.shots != nullptr ? *view.shots : kNoShots, view.window, 0, ShotJson, &lists);
  status["marks"] =
      Page(view.marks != nullptr ? *view.marks : kNoMarks, view.window, 1, MarkJson, &lists);
  // The notes given, with the counts of those repeated, as the summary gives them.
  const Json notes = Page(
      snapshot.notes, view.window, 2, [](const SessionNote& note) { return Json(note.text); },
      &lists);
  const auto first = snapshot.notes.begin() + lists["notes"]["from"].get<std::ptrdiff_t>();
  AddNotesJson(std::vector<SessionNote>(first, first + static_cast<std::ptrdiff_t>(notes.size())),
               &status);
  status["lists"] = std::move(lists);
  status["publishing"] = PublishProgressText(snapshot.publish);
  status["publish"] = snapshot.publish.active ? PublishJson(snapshot.publish) : Json(nullptr);
  status["console"] = {{"connections", view.connections},
                       {"pages", view.pages},
                       {"streams", view.streams},
                       {"thumbnails", view.thumbnails}};
  return status;
}

}  // namespace sorvo::tools
