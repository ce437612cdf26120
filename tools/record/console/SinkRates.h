// The frame and bit rates each sink achieves now: the change of its counters between two
// snapshots, over the session time between them.
//
// One thread (the console's network thread).
#pragma once

#include <map>
#include <string>

#include "tools/record/console/ConsoleModel.h"

namespace sorvo::tools {

struct SinkRate {
  double framesPerSecond = 0;  // packets handed out
  double bitsPerSecond = 0;
};

class SinkRates {
 public:
  // Snapshots closer together than `minimumSpan` seconds leave the rates as they were.
  explicit SinkRates(double minimumSpan = 0.25) : m_minimumSpan(minimumSpan) {}
  void Update(const ConsoleSnapshot& snapshot);
  SinkRate Of(const std::string& sink) const;

 private:
  struct Sample {
    double seconds = 0;
    long long packets = 0;
    long long bytes = 0;
  };
  const double m_minimumSpan;
  std::map<std::string, Sample> m_last;
  std::map<std::string, SinkRate> m_rates;
};

}  // namespace sorvo::tools
