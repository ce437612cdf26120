// What a live source delivers in place of its own buffers while it has no signal: the
// no-signal picture (NoSignalPicture.h) for a camera, silence for the sound.
//
// One thread: the feeder's.
#pragma once

#include <cstdint>
#include <vector>

namespace sorvo::tools {

class StandIn {
 public:
  virtual ~StandIn() = default;
  // Whether Fill looks at the last buffer the source delivered; the source keeps a copy
  // of it only then.
  virtual bool wantsLast() const { return false; }
  // Fills `out` with the buffer that stands in `lostFor` seconds after the loss. `last` is
  // the last buffer of the source's own (empty when there was none).
  virtual void Fill(double lostFor,
                    const std::vector<uint8_t>& last,
                    std::vector<uint8_t>* out) = 0;
};

}  // namespace sorvo::tools
