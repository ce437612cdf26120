// How many pictures a recording sink's frame pool holds: the "FrameBuffers" setting, kept
// within bounds and within the memory the system has free.
#pragma once

#include <cstdint>
#include <string>

namespace sorvo {

// A deeper pool lets the encoder fall further behind (a busy moment, another program
// taking the processor) before the oldest waiting picture has to give way: each buffer
// more is one frame interval more. Shallower than two, the capture thread would find no
// buffer while the worker encodes; 250 is ten seconds at 25 pictures a second.
constexpr int kLeastFrameBuffers = 2;
constexpr int kMostFrameBuffers = 250;

struct FrameBufferDepth {
  int count = 0;
  std::string note;  // why the asked count was not taken; empty when it was
};

// The depth for pools of `itemSize`-byte buffers when `asked` are asked for: within the
// bounds, and, deeper than the default, using at most half of `availableBytes` (unknown
// when negative), though never shallower than the default.
FrameBufferDepth ChooseFrameBufferDepth(int asked, int64_t itemSize, int64_t availableBytes);

}  // namespace sorvo
