// What the console sends a page, and what /api/status weighs, in a long session: 10,000
// shots of the director's cut (8 hours switching every 2 s is 14,400), 100 marks, and a
// source whose pictures changed size 10,000 times. Each benchmark builds the documents
// once per iteration and reports, as counters:
//   pageBytesPerSecond  what a page gets each second from the status pushes and the cut
//   statusBytes         the /api/status document (its default answer)
// BM_WholeCutEachSecond is the console as it was: the whole cut in every pushed status and
// every size change a note of its own. BM_CutAsItChanges is the console as it is: the cut
// sent as it changes (one switch every 2 s), the lists of the status paged, the notes
// folded. The ratio of the two counters is the saving; the time per iteration is the cost
// of writing the documents.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tools/common/Json.h"
#include "tools/record/SessionNote.h"
#include "tools/record/console/StatusDocument.h"
#include "tools/record/edit/CutList.h"
#include "tools/record/sources/MediaSource.h"

namespace {

using namespace sorvo::tools;
constexpr int kShots = 10000;
constexpr int kMarks = 100;
constexpr int kSizeChanges = 10000;
constexpr double kSwitchEvery = 2.0;

std::string SizeNote(int change) {
  return "camera0 (rtsp://camera): its pictures are " + std::to_string(640 + 2 * change) +
         "x480 from here on; they are scaled to the camera's 640x480";
}

// A source whose pictures change size at every picture, saying so each time as a camera's
// converter does.
class ResizingSource : public MediaSource {
 public:
  ResizingSource() {
    for (int change = 0; change < kSizeChanges; ++change)
      AddNote(SizeNote(change));
  }
  bool Next(std::vector<uint8_t>*, double*) override { return false; }
  std::string Describe() const override { return "resizing"; }
};

ConsoleSnapshot LongSession() {
  ConsoleSnapshot snapshot;
  snapshot.seconds = kShots * kSwitchEvery;
  snapshot.outDir = "/recordings/2026-12-08_09-00-00";
  for (int camera = 0; camera < 4; ++camera) {
    SinkStatus sink;
    sink.name = "camera" + std::to_string(camera);
    sink.camera = camera;
    sink.source = "test pattern";
    snapshot.sinks.push_back(sink);
  }
  return snapshot;
}

void FillCut(CutList* cut) {
  for (int shot = 0; shot < kShots; ++shot)
    cut->AddSwitch(shot * kSwitchEvery, shot % 4);
  for (int mark = 0; mark < kMarks; ++mark)
    cut->AddMark(mark * 60.0, "mark " + std::to_string(mark));
}

void BM_WholeCutEachSecond(benchmark::State& state) {
  ConsoleSnapshot snapshot = LongSession();
  CutList cut;
  FillCut(&cut);
  snapshot.switches = cut.Shots();
  snapshot.marks = cut.Marks();
  for (int change = 0; change < kSizeChanges; ++change)
    snapshot.notes.push_back(SizeNote(change));
  size_t bytes = 0;
  for (auto _ : state) {
    // Every list whole, in the status pushed each second and in /api/status alike.
    Json status = StatusJson(snapshot, ConsoleView());
    AddCutJson(snapshot, &status);
    Json notes = Json::array();
    for (const SessionNote& note : snapshot.notes)
      notes.push_back(note.text);
    status["notes"] = std::move(notes);
    bytes = JsonText(status).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["pageBytesPerSecond"] = static_cast<double>(bytes);
  state.counters["statusBytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_WholeCutEachSecond)->Unit(benchmark::kMillisecond);

void BM_CutAsItChanges(benchmark::State& state) {
  ConsoleSnapshot snapshot = LongSession();
  CutList cut;
  FillCut(&cut);
  std::vector<Shot> shots;
  std::vector<Mark> marks;
  cut.TakeChange().ApplyTo(&shots, &marks);
  ResizingSource source;
  for (const MediaSource::Note& note : source.Notes()) {
    SessionNote said(note.text);
    said.count = note.count;
    said.last = note.last;
    snapshot.notes.push_back(said);
  }
  size_t pushed = 0;
  size_t status = 0;
  size_t cutEvent = 0;
  double time = kShots * kSwitchEvery;
  for (auto _ : state) {
    ConsoleView view;
    view.shots = &shots;
    view.marks = &marks;
    view.window.count[0] = view.window.count[1] = 0;
    pushed = JsonText(StatusJson(snapshot, view)).size();
    view.window = ListPages();
    status = JsonText(StatusJson(snapshot, view)).size();
    // The next switch, as a page gets it.
    cut.AddSwitch(time, static_cast<int>(shots.size() % 4));
    time += kSwitchEvery;
    const CutChange change = cut.TakeChange();
    change.ApplyTo(&shots, &marks);
    cutEvent = JsonText(CutEventJson(change.shotsFrom, shots, shots.size(), change.marksFrom, marks,
                                     marks.size()))
                   .size();
    benchmark::DoNotOptimize(cutEvent);
  }
  state.counters["pageBytesPerSecond"] =
      static_cast<double>(pushed) + static_cast<double>(cutEvent) / kSwitchEvery;
  state.counters["statusBytes"] = static_cast<double>(status);
}
BENCHMARK(BM_CutAsItChanges)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
