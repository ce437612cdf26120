// What a container writer remembers of a stream's packets while it writes them: how many the
// muxer took, and the times of the first and the last. Enough for the index of a file made
// regular when it closes (IndexSkeleton), whatever the recording's length.
#pragma once

#include <cstdint>

namespace sorvo::mp4 {

// A packet's times as the writer handed it to the muxer, in its stream's time base.
struct PacketStamp {
  int64_t pts = 0;
  int64_t dts = 0;
  int64_t duration = 0;
  int flags = 0;
};

struct StreamStamps {
  int64_t packets = 0;
  PacketStamp first;
  PacketStamp last;

  void Add(const PacketStamp& stamp) {
    if (packets++ == 0)
      first = stamp;
    last = stamp;
  }
};

}  // namespace sorvo::mp4
