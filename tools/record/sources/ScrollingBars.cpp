#include "tools/record/sources/ScrollingBars.h"

#include <cstring>

namespace sorvo::tools {

ScrollingBars::ScrollingBars(int width,
                             int height,
                             PixelFormat format,
                             const std::vector<Rgb>& colours)
    : m_width(width), m_planar(format == PIX_FMT_YUV420P) {
  // Two periods of the bars on two rows of the picture's format (a planar picture's colour
  // row needs both), drawn with the canvas the rest of the picture is drawn with.
  const int count = static_cast<int>(colours.size());
  const int length = 2 * width;
  std::vector<uint8_t> rows(SorvoPictureSize(format, length, 2));
  PictureCanvas canvas(rows.data(), length, 2, format);
  for (int bar = 0; bar < 2 * count; ++bar) {
    const int left = bar / count * width + bar % count * width / count;
    const int right = bar / count * width + (bar % count + 1) * width / count;
    canvas.FillRect(left, 0, right - left, 2, colours[bar % count]);
  }

  auto addPlane = [&](const uint8_t* row, int bytesPerSample, int subsampling) {
    Plane plane;
    plane.across = (width + subsampling - 1) / subsampling;
    plane.down = (height + subsampling - 1) / subsampling;
    plane.bytesPerSample = bytesPerSample;
    plane.subsampling = subsampling;
    // The bars repeat every `width` pixels: the rows run on into each other when a row
    // holds exactly one period.
    plane.whole = width % subsampling == 0;
    const size_t rowBytes = static_cast<size_t>(plane.across) * bytesPerSample;
    if (plane.whole) {
      for (int y = 0; y <= plane.down; ++y)
        plane.bytes.insert(plane.bytes.end(), row, row + rowBytes);
    } else {
      plane.bytes.assign(row, row + (length + subsampling - 1) / subsampling * bytesPerSample);
    }
    m_planes.push_back(std::move(plane));
  };
  if (format == PIX_FMT_YUV420P || format == PIX_FMT_GRAY8) {
    addPlane(rows.data(), 1, 1);
    if (format == PIX_FMT_YUV420P) {
      const uint8_t* u = rows.data() + 2 * length;
      addPlane(u, 1, 2);
      addPlane(u + length / 2, 1, 2);
    }
  } else {
    addPlane(rows.data(), static_cast<int>(rows.size()) / (2 * length), 1);
  }
}

void ScrollingBars::Draw(uint8_t* data, int64_t shift) const {
  // Pixel x of the picture shows pixel x + offset of the prepared rows.
  int offset = static_cast<int>((m_width - shift % m_width) % m_width);
  if (m_planar)
    offset &= ~1;
  uint8_t* out = data;
  for (const Plane& plane : m_planes) {
    const size_t rowBytes = static_cast<size_t>(plane.across) * plane.bytesPerSample;
    const uint8_t* from =
        plane.bytes.data() + static_cast<size_t>(offset / plane.subsampling) * plane.bytesPerSample;
    if (plane.whole) {
      std::memcpy(out, from, rowBytes * plane.down);
      out += rowBytes * plane.down;
      continue;
    }
    for (int y = 0; y < plane.down; ++y, out += rowBytes)
      std::memcpy(out, from, rowBytes);
  }
}

}  // namespace sorvo::tools
