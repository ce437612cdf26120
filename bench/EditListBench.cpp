// The edit lists of a long show, written when the session ends: director.otio and
// director.edl for 10,865 shots (six hours with a switch every two seconds) and a mark a
// minute, into a scratch folder. What counts is the peak resident memory the writing adds
// (the process's high-water mark before and after), against the document itself held whole
// in memory as text, in the same run: streamed, the writers hold one shot at a time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "RatioReporter.h"
#include "ScratchDir.h"
#include "tools/record/edit/EdlWriter.h"
#include "tools/record/edit/OtioWriter.h"

namespace {

using namespace sorvo::tools;

constexpr int kShots = 10865;

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

EditPlan LongShow() {
  std::vector<Shot> shots;
  std::vector<Mark> marks;
  for (int i = 0; i < kShots; ++i)
    shots.push_back(Shot{2.0 * i, i % 4});
  for (int i = 0; i < kShots / 30; ++i)
    marks.push_back(Mark{60.0 * i + 0.5, "mark " + std::to_string(i)});
  std::vector<EditFile> sources;
  for (int camera = 0; camera < 4; ++camera)
    sources.push_back(EditFile{camera, "camera" + std::to_string(camera),
                               "/recordings/show/camera" + std::to_string(camera) + ".mp4", true,
                               0.0, 0.0});
  const EditFile program{-1, "director", "/recordings/show/director.mp4", true, 0.0, 2.0 * kShots};
  return PlanEdit(shots, marks, sorvo::Timecode(9 * 3600.0, 25), program, sources);
}

double g_streamed = 0, g_whole = 0, g_document = 0;

// Peak memory added by writing both lists to files, in MiB.
void BM_EditListsStreamed(benchmark::State& state) {
  sorvo::bench::ScratchDir dir;
  const EditPlan plan = LongShow();
  for (auto _ : state) {
    const long before = PeakKilobytes();
    std::string error;
    std::vector<std::string> written;
    if (!WriteOtio(plan, "show", dir.File("director.otio"), &error) ||
        !WriteEdl(plan, "show", dir.File("director.edl"), &written, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    g_streamed = (PeakKilobytes() - before) / 1024.0;
  }
  state.counters["peak_MiB_added"] = g_streamed;
}

// The baseline: the same documents built whole in memory as text.
void BM_EditListsHeldWhole(benchmark::State& state) {
  const EditPlan plan = LongShow();
  for (auto _ : state) {
    const long before = PeakKilobytes();
    const std::string otio = OtioText(plan, "show");
    size_t edl = 0;
    for (const std::string& list : EdlTexts(plan, "show"))
      edl += list.size();
    g_whole = (PeakKilobytes() - before) / 1024.0;
    g_document = (otio.size() + edl) / 1048576.0;
  }
  state.counters["peak_MiB_added"] = g_whole;
  state.counters["document_MiB"] = g_document;
}

// The streamed one first: the high-water mark only rises.
BENCHMARK(BM_EditListsStreamed)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EditListsHeldWhole)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunThenReport(argc, argv, [] {
    std::printf(
        "\nedit lists of %d shots (%.1f MiB of text): writing them added %.1f MiB at its peak, "
        "holding them whole %.1f MiB (target: under a tenth of the text)\n",
        kShots, g_document, g_streamed, g_whole);
  });
}
