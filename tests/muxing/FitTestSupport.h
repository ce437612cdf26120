// What the fitting and controller tests share: the colour a viewer expects to see, read
// out of YUV 4:2:0 pictures.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "common/CodecTestSupport.h"

namespace sorvo::test {

struct Yuv {
  double y = 0, u = 0, v = 0;
};

// The limited-range BT.601 colour of an RGB value, from the standard's own coefficients.
inline Yuv Bt601(uint8_t red, uint8_t green, uint8_t blue) {
  const double r = red / 255.0, g = green / 255.0, b = blue / 255.0;
  return {16 + 65.481 * r + 128.553 * g + 24.966 * b, 128 - 37.797 * r - 74.203 * g + 112.0 * b,
          128 + 112.0 * r - 93.786 * g - 18.214 * b};
}

// A solid YUV 4:2:0 picture with packed planes.
inline std::vector<uint8_t> SolidYuvPicture(int width, int height, const Yuv& colour) {
  const int luma = width * height, chroma = ((width + 1) / 2) * ((height + 1) / 2);
  std::vector<uint8_t> picture(luma + 2 * chroma);
  std::memset(picture.data(), static_cast<int>(colour.y + 0.5), luma);
  std::memset(picture.data() + luma, static_cast<int>(colour.u + 0.5), chroma);
  std::memset(picture.data() + luma + chroma, static_cast<int>(colour.v + 0.5), chroma);
  return picture;
}

// The mean colour of the luma rectangle [x0, x1) x [y0, y1) of a YUV 4:2:0 picture with
// packed planes (chroma from the samples that cover it).
inline Yuv
MeanColour(const uint8_t* picture, int width, int height, int x0, int y0, int x1, int y1) {
  const int cw = (width + 1) / 2, ch = (height + 1) / 2;
  const uint8_t* u = picture + width * height;
  const uint8_t* v = u + cw * ch;
  Yuv sum;
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x, ++n) {
      sum.y += picture[y * width + x];
      sum.u += u[(y / 2) * cw + x / 2];
      sum.v += v[(y / 2) * cw + x / 2];
    }
  return {sum.y / n, sum.u / n, sum.v / n};
}

// The same for a decoded picture.
inline Yuv MeanColour(const Picture& picture, int x0, int y0, int x1, int y1) {
  std::vector<uint8_t> packed(picture.y);
  packed.insert(packed.end(), picture.u.begin(), picture.u.end());
  packed.insert(packed.end(), picture.v.begin(), picture.v.end());
  return MeanColour(packed.data(), picture.width, picture.height, x0, y0, x1, y1);
}

inline std::ostream& operator<<(std::ostream& out, const Yuv& c) {
  return out << "(Y " << c.y << ", U " << c.u << ", V " << c.v << ")";
}

inline bool Near(const Yuv& a, const Yuv& b, double tolerance) {
  return std::fabs(a.y - b.y) <= tolerance && std::fabs(a.u - b.u) <= tolerance &&
         std::fabs(a.v - b.v) <= tolerance;
}

}  // namespace sorvo::test
