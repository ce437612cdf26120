// Pictures and the packets the project's own encoder makes of them, for decoder, preview and
// window tests and the decoder benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/PixelFormat.h"

namespace sorvo::test {

using Bytes = std::vector<unsigned char>;

// A contiguous YUV 4:2:0 picture of smooth gradients that move with `index`, so that every
// picture of a clip differs from its neighbours and survives encoding nearly unchanged.
Bytes GradientYuvPicture(int width, int height, int index);
// A packed BGR24 picture of one colour.
Bytes SolidBgrPicture(int width, int height, uint8_t red, uint8_t green, uint8_t blue);

// Encodes each picture (all of `format`, width x height) with FFEncoder: one packet each.
std::vector<Bytes> EncodePictures(int width,
                                  int height,
                                  PixelFormat format,
                                  const std::vector<Bytes>& pictures,
                                  int bitRate = 4000000);
// `count` gradient pictures and their packets.
struct Clip {
  std::vector<Bytes> pictures;
  std::vector<Bytes> packets;
};
Clip EncodeGradientClip(int width, int height, int count, int firstIndex = 0);

// Mean absolute difference of two byte ranges of `count` bytes.
double MeanAbsDiff(const unsigned char* a, const unsigned char* b, size_t count);

}  // namespace sorvo::test
