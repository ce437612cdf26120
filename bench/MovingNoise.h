// Pictures that cost an encoder what a real camera's do: a fine random texture that pans
// (so that motion search finds something to follow, but at no whole-pixel step that makes
// it trivial), with fresh sensor-like grain in every picture. Made once before a run, so
// that handing them over costs nothing but the hand-over.
#pragma once

#include <cstdint>
#include <vector>

namespace sorvo::bench {

// `count` packed 24-bit pictures of width x height; a run cycles through them, and
// cameras start at different places in the cycle.
inline std::vector<std::vector<uint8_t>> MovingNoisePictures(int width, int height, int count) {
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {  // xorshift64*
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<uint32_t>((state * 0x2545F4914F6CDD1Dull) >> 32);
  };
  // The texture: noise smoothed over a few pixels, as a lens and a demosaic leave detail.
  const int margin = 4 * count + 8;
  const int texWidth = width + margin, texHeight = height + margin;
  std::vector<uint8_t> raw(static_cast<size_t>(texWidth) * texHeight);
  for (uint8_t& sample : raw)
    sample = static_cast<uint8_t>(next());
  std::vector<uint8_t> texture(raw.size());
  for (int y = 0; y < texHeight; ++y)
    for (int x = 0; x < texWidth; ++x) {
      const int x1 = x + 1 < texWidth ? x + 1 : x, y1 = y + 1 < texHeight ? y + 1 : y;
      texture[y * texWidth + x] =
          static_cast<uint8_t>((raw[y * texWidth + x] + raw[y * texWidth + x1] +
                                raw[y1 * texWidth + x] + raw[y1 * texWidth + x1]) /
                               4);
    }

  std::vector<std::vector<uint8_t>> pictures;
  for (int n = 0; n < count; ++n) {
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3);
    // Three pixels right and two down per picture, then back: steady, visible motion.
    const int dx = 3 * (n < count / 2 ? n : count - n), dy = 2 * (n < count / 2 ? n : count - n);
    for (int y = 0; y < height; ++y) {
      const uint8_t* row = &texture[(y + dy) * texWidth + dx];
      uint8_t* out = &picture[static_cast<size_t>(y) * width * 3];
      for (int x = 0; x < width; ++x) {
        const uint32_t grain = next();
        // Colour from the texture with a gentle tint per channel, plus grain of +-6.
        for (int c = 0; c < 3; ++c) {
          const int value =
              40 + row[x] * (5 + c) / 8 + static_cast<int>((grain >> (8 * c)) % 13) - 6;
          out[3 * x + c] = static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
        }
      }
    }
    pictures.push_back(std::move(picture));
  }
  return pictures;
}

}  // namespace sorvo::bench
