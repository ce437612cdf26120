#include "codec/Mpeg4Level.h"

#include <cstdint>

namespace sorvo {
namespace {

struct LevelLimits {
  int level;            // as profile_and_level_indication's low bits say it
  int64_t macroblocks;  // per picture
  int64_t macroblocksPerSecond;
  int64_t bitsPerSecond;
};

// Simple Profile's levels, lowest first.
constexpr LevelLimits kSimpleLevels[] = {
    {1, 99, 1485, 64000},      {2, 396, 5940, 128000},    {3, 396, 11880, 384000},
    {4, 1200, 36000, 4000000}, {5, 1620, 40500, 8000000}, {6, 3600, 108000, 12000000},
};

}  // namespace

int Mpeg4SimpleLevel(int width, int height, int frameRate, int bitRate) {
  const int64_t macroblocks =
      ((static_cast<int64_t>(width) + 15) / 16) * ((static_cast<int64_t>(height) + 15) / 16);
  const int64_t perSecond = macroblocks * frameRate;
  for (const LevelLimits& limits : kSimpleLevels)
    if (macroblocks <= limits.macroblocks && perSecond <= limits.macroblocksPerSecond &&
        bitRate <= limits.bitsPerSecond)
      return limits.level;
  return kSimpleLevels[sizeof(kSimpleLevels) / sizeof(kSimpleLevels[0]) - 1].level;
}

}  // namespace sorvo
