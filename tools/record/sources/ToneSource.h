// A stereo test tone: 440 Hz on the left channel and 660 Hz on the right, a quarter of full
// scale, continuous across buffers.
#pragma once

#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class ToneSource : public MediaSource {
 public:
  static constexpr double kLeftHz = 440;
  static constexpr double kRightHz = 660;

  ToneSource();
  bool Next(std::vector<uint8_t>* data, double* due) override;
  std::string Describe() const override;

 private:
  long long m_samples = 0;
};

}  // namespace sorvo::tools
