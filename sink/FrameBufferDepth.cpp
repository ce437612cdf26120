#include "sink/FrameBufferDepth.h"

#include <algorithm>

#include "sink/FrameItem2.h"
#include "sink/imqueue.h"

namespace sorvo {
namespace {

constexpr int kDefault = imqueue<FrameItem2>::kItemCount;

std::string Megabytes(int64_t bytes) {
  return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}

}  // namespace

FrameBufferDepth ChooseFrameBufferDepth(int asked, int64_t itemSize, int64_t availableBytes) {
  FrameBufferDepth depth;
  depth.count = std::clamp(asked, kLeastFrameBuffers, kMostFrameBuffers);
  if (depth.count != asked)
    depth.note = "FrameBuffers=" + std::to_string(asked) + " is outside " +
                 std::to_string(kLeastFrameBuffers) + " to " + std::to_string(kMostFrameBuffers) +
                 "; " + std::to_string(depth.count) + " are used";
  if (depth.count <= kDefault || itemSize <= 0 || availableBytes < 0)
    return depth;
  // Half of what is free, so that the other sinks, the files and the host keep room.
  const int64_t budget = availableBytes / 2;
  if (depth.count * itemSize <= budget)
    return depth;
  const int wanted = depth.count;
  depth.count = static_cast<int>(std::max<int64_t>(kDefault, budget / itemSize));
  depth.note = "FrameBuffers=" + std::to_string(asked) + " would take " +
               Megabytes(wanted * itemSize) + " and only " + Megabytes(availableBytes) +
               " are free; " + std::to_string(depth.count) + " are used";
  return depth;
}

}  // namespace sorvo
