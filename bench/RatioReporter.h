// Console output plus, at the end of the run, each measured benchmark's time against its
// baseline's from the same run, with the target it should meet. The ratios use the
// benchmarking thread's CPU time, which other work on a shared machine disturbs far less
// than wall time, except for benchmarks timed by the clock (UseRealTime); with
// --benchmark_repetitions they use the medians.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace sorvo::bench {

struct Ratio {
  std::string measured;  // benchmark names as printed, e.g. "BM_PoolPush/1280/720"
  std::string baseline;
  // time(measured) / time(baseline) must stay at most `target` when `atMost`, else the
  // throughput ratio time(baseline) / time(measured) must reach at least `target`.
  double target;
  bool atMost;
};

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::vector<Ratio> ratios) : m_ratios(std::move(ratios)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions the median stands for the benchmark.
      std::string name = run.benchmark_name();
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (median)
        name = run.run_name.str();
      // A benchmark with its own iteration or repetition count carries it in its name.
      for (const char* setting : {"/iterations:", "/repeats:"}) {
        const size_t at = name.find(setting);
        if (at != std::string::npos)
          name.erase(at, name.find('/', at + 1) - at);
      }
      // A benchmark whose work spreads over threads of its own is timed by the clock, or
      // times itself (the process's CPU, say).
      const bool ownTime = name.find("/real_time") != std::string::npos ||
                           name.find("/manual_time") != std::string::npos;
      if (run.run_type == Run::RT_Iteration || median)
        m_times[name] = ownTime ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const Ratio& ratio : m_ratios) {
      auto measured = m_times.find(ratio.measured);
      auto baseline = m_times.find(ratio.baseline);
      if (measured == m_times.end() || baseline == m_times.end() || measured->second <= 0 ||
          baseline->second <= 0)
        continue;  // filtered out of this run
      const double value =
          ratio.atMost ? measured->second / baseline->second : baseline->second / measured->second;
      const bool met = ratio.atMost ? value <= ratio.target : value >= ratio.target;
      std::printf("%-36s %s %-36s %6.3f (target %s %.2f) %s\n", ratio.measured.c_str(),
                  ratio.atMost ? "time /" : "speed /", ratio.baseline.c_str(), value,
                  ratio.atMost ? "<=" : ">=", ratio.target, met ? "met" : "MISSED");
    }
  }

 private:
  std::vector<Ratio> m_ratios;
  std::map<std::string, double> m_times;
};

// main() for a benchmark program that reports `ratios` at the end. With `interleave` the
// repetitions of a measured benchmark and of its baseline take turns, so that a machine
// whose load changes during the run weighs on both alike.
inline int RunWithRatios(int argc,
                         char** argv,
                         std::vector<Ratio> ratios,
                         bool interleave = false) {
  std::vector<char*> args(argv, argv + argc);
  char interleaving[] = "--benchmark_enable_random_interleaving=true";
  if (interleave)
    args.insert(args.begin() + 1, interleaving);
  argc = static_cast<int>(args.size());
  argv = args.data();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  RatioReporter reporter(std::move(ratios));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// main() for a benchmark program whose figures are not times: `report` prints them after
// the run.
template <typename Report>
int RunThenReport(int argc, char** argv, Report report) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  report();
  return 0;
}

}  // namespace sorvo::bench
