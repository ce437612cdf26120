#include "host/SwsScale.h"

#include <algorithm>
#include <cstring>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

namespace sorvo {

void SwsContextDeleter::operator()(SwsContext* context) const {
  sws_freeContext(context);
}

void ScaleWithinSource(SwsContext* context,
                       const uint8_t* const srcData[4],
                       const int srcLinesize[4],
                       int height,
                       uint8_t* const dstData[4],
                       const int dstLinesize[4]) {
  if (srcData[1] != nullptr) {
    sws_scale(context, srcData, srcLinesize, 0, height, dstData, dstLinesize);
    return;
  }
  const uint8_t* source = srcData[0];
  const int rowBytes = srcLinesize[0];
  const int tailRows = std::min(height, std::max(2, (kSwsOverread + rowBytes - 1) / rowBytes));
  const int headRows = height - tailRows;
  thread_local std::vector<uint8_t> tail;
  tail.resize(static_cast<size_t>(tailRows) * rowBytes + kSwsOverread);
  std::memcpy(tail.data(), source + static_cast<size_t>(headRows) * rowBytes,
              static_cast<size_t>(tailRows) * rowBytes);
  if (headRows > 0) {
    const uint8_t* head[4] = {source, nullptr, nullptr, nullptr};
    sws_scale(context, head, srcLinesize, 0, headRows, dstData, dstLinesize);
  }
  const uint8_t* rest[4] = {tail.data(), nullptr, nullptr, nullptr};
  sws_scale(context, rest, srcLinesize, headRows, tailRows, dstData, dstLinesize);
}

}  // namespace sorvo
