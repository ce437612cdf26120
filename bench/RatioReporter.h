// For benchmarks that measure a wrapper against the bare calls it wraps in one run: the
// repetitions of both take turns, and the ratios of their median CPU times are printed at
// the end.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace sorvo::bench {

// Keeps the median CPU time of every benchmark for the ratios at the end. CPU time, not
// wall time: the loops are single-threaded, and other work on the machine then weighs on
// neither side.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
        continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty())
        name += "/" + run.run_name.args;
      medians[name] = run.GetAdjustedCPUTime();
    }
  }
  std::map<std::string, double> medians;
};

inline void PrintRatio(const RatioReporter& reporter,
                       const char* what,
                       const std::string& ours,
                       const std::string& bare,
                       bool throughput) {
  auto o = reporter.medians.find(ours), b = reporter.medians.find(bare);
  if (o == reporter.medians.end() || b == reporter.medians.end())
    return;
  if (throughput)
    std::printf("%-44s throughput ratio (wrapper / bare) = %.3f\n", what, b->second / o->second);
  else
    std::printf("%-44s cost ratio (wrapper / bare) = %.3f  (%.0f ns vs %.0f ns per packet)\n", what,
                o->second / b->second, o->second * 1000, b->second * 1000);
}

// Runs the registered benchmarks into `reporter`. Repetitions of a wrapper and of its
// baseline take turns, so that a machine whose load changes during the run weighs on both
// alike.
inline void RunInterleaved(int argc, char** argv, RatioReporter* reporter) {
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::RunSpecifiedBenchmarks(reporter);
}

}  // namespace sorvo::bench
