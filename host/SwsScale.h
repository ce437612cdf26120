// libswscale as the module uses it: an owner for its contexts, and a whole-picture scale
// that never reads past the end of the caller's source picture.
#pragma once

#include <cstdint>
#include <memory>

struct SwsContext;

namespace sorvo {

// How far past the end of a row libswscale may read from a packed source, or write on the
// paths that do write past a row, with room to spare.
constexpr int kSwsOverread = 256;

struct SwsContextDeleter {
  void operator()(SwsContext* context) const;
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

// Scales all `height` rows of a source picture laid out by `srcData`/`srcLinesize` into
// the destination. libswscale reads packed sources in whole vectors, up to some dozens of
// bytes past the end of a row: inside the picture that is the next row, after the last
// one it would be past the caller's buffer, so the last rows of a single-plane source are
// scaled from a copy with room behind it. Planar sources are read within their planes.
// Any thread; the copy is per thread.
void ScaleWithinSource(SwsContext* context,
                       const uint8_t* const srcData[4],
                       const int srcLinesize[4],
                       int height,
                       uint8_t* const dstData[4],
                       const int dstLinesize[4]);

}  // namespace sorvo
