#include "tools/record/sources/ScrollingBars.h"

#include <algorithm>
#include <cstring>

namespace sorvo::tools {

ScrollingBars::ScrollingBars(int width,
                             int height,
                             PixelFormat format,
                             const std::vector<Rgb>& colours)
    : m_width(width), m_height(height) {
  const int count = std::max<int>(1, static_cast<int>(colours.size()));
  const int barWidth = std::max(1, width / count);
  m_period = barWidth * count;
  // Two rows of the picture's format, so that a planar picture's colour rows exist, drawn
  // with the canvas every picture used to be drawn with.
  const int length = width + m_period;
  std::vector<uint8_t> rows(SorvoPictureSize(format, length, 2));
  PictureCanvas canvas(rows.data(), length, 2, format);
  for (int bar = 0; bar * barWidth < length; ++bar)
    canvas.FillRect(bar * barWidth, 0, barWidth, 2, colours[bar % count]);

  if (format == PIX_FMT_YUV420P || format == PIX_FMT_GRAY8) {
    m_planes.push_back({std::vector<uint8_t>(rows.begin(), rows.begin() + length), 1, 1});
    if (format == PIX_FMT_YUV420P) {
      const int chroma = (length + 1) / 2;
      const auto u = rows.begin() + 2 * length;
      m_planes.push_back({std::vector<uint8_t>(u, u + chroma), 1, 2});
      m_planes.push_back({std::vector<uint8_t>(u + chroma, u + 2 * chroma), 1, 2});
    }
  } else {
    const int bytes = static_cast<int>(rows.size()) / (2 * length);
    m_planes.push_back(
        {std::vector<uint8_t>(rows.begin(), rows.begin() + length * bytes), bytes, 1});
  }
}

void ScrollingBars::Draw(uint8_t* data, int64_t shift) const {
  // Pixel x of the picture shows pixel x + offset of the prepared row.
  int offset = static_cast<int>((m_period - shift % m_period) % m_period);
  if (m_planes.size() > 1)
    offset &= ~1;
  uint8_t* out = data;
  for (const Plane& plane : m_planes) {
    const int across = (m_width + plane.subsampling - 1) / plane.subsampling;
    const int down = (m_height + plane.subsampling - 1) / plane.subsampling;
    const size_t rowBytes = static_cast<size_t>(across) * plane.bytesPerSample;
    const uint8_t* from =
        plane.row.data() + static_cast<size_t>(offset / plane.subsampling) * plane.bytesPerSample;
    for (int y = 0; y < down; ++y, out += rowBytes)
      std::memcpy(out, from, rowBytes);
  }
}

}  // namespace sorvo::tools
