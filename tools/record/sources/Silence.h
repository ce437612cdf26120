// Sound that stands in for a lost sound source: silent buffers of the recorder's PCM
// format, so that the sound keeps its time beside the pictures.
#pragma once

#include "tools/record/sources/StandIn.h"

namespace sorvo::tools {

class Silence : public StandIn {
 public:
  void Fill(double lostFor, const std::vector<uint8_t>& last, std::vector<uint8_t>* out) override;
};

}  // namespace sorvo::tools
