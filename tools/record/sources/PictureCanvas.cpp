#include "tools/record/sources/PictureCanvas.h"

#include <algorithm>
#include <cstring>

#include "tools/record/sources/GlyphFont.h"

namespace sorvo::tools {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

Yuv ToYuv(Rgb c) {
  const int y = (66 * c.r + 129 * c.g + 25 * c.b + 128) / 256 + 16;
  const int u = (-38 * c.r - 74 * c.g + 112 * c.b + 128) / 256 + 128;
  const int v = (112 * c.r - 94 * c.g - 18 * c.b + 128) / 256 + 128;
  return {static_cast<uint8_t>(y), static_cast<uint8_t>(u), static_cast<uint8_t>(v)};
}

// Where red, green and blue go in one pixel of a packed format, and an opaque alpha (-1 for
// a format without one).
struct PackedOrder {
  PixelFormat format;
  int red, green, blue, alpha;
};
constexpr PackedOrder kPackedOrders[] = {
    {PIX_FMT_RGB24, 0, 1, 2, -1}, {PIX_FMT_BGR24, 2, 1, 0, -1}, {PIX_FMT_ARGB, 1, 2, 3, 0},
    {PIX_FMT_RGBA, 0, 1, 2, 3},   {PIX_FMT_ABGR, 3, 2, 1, 0},   {PIX_FMT_BGRA, 2, 1, 0, 3},
};

// The bytes of one pixel in a packed format; the count is returned (0: not a packed one).
int PackedPixel(PixelFormat format, Rgb c, uint8_t out[4]) {
  for (const PackedOrder& order : kPackedOrders) {
    if (order.format != format)
      continue;
    out[order.red] = c.r;
    out[order.green] = c.g;
    out[order.blue] = c.b;
    if (order.alpha < 0)
      return 3;
    out[order.alpha] = 255;
    return 4;
  }
  return 0;
}

}  // namespace

bool PictureCanvas::Supports(PixelFormat format) {
  uint8_t pixel[4];
  return format == PIX_FMT_YUV420P || format == PIX_FMT_GRAY8 ||
         PackedPixel(format, Rgb{}, pixel) > 0;
}

PictureCanvas::PictureCanvas(uint8_t* data, int width, int height, PixelFormat format)
    : m_data(data), m_width(width), m_height(height), m_format(format) {}

void PictureCanvas::FillPlane(uint8_t* plane, int stride, int x, int y, int w, int h,
                              uint8_t value) {
  for (int row = y; row < y + h; ++row) std::memset(plane + row * stride + x, value, w);
}

void PictureCanvas::FillPackedRect(int x, int y, int w, int h, Rgb colour) {
  uint8_t pixel[4];
  const int bytes = PackedPixel(m_format, colour, pixel);
  const int stride = m_width * bytes;
  uint8_t* first = m_data + y * stride + x * bytes;
  // One row is built pixel by pixel and copied to the others.
  for (int i = 0; i < w; ++i) std::memcpy(first + i * bytes, pixel, bytes);
  for (int row = 1; row < h; ++row) std::memcpy(first + row * stride, first, w * bytes);
}

void PictureCanvas::FillRect(int x, int y, int w, int h, Rgb colour) {
  const int left = std::max(x, 0);
  const int top = std::max(y, 0);
  const int right = std::min(x + w, m_width);
  const int bottom = std::min(y + h, m_height);
  if (left >= right || top >= bottom) return;
  if (m_format != PIX_FMT_YUV420P && m_format != PIX_FMT_GRAY8) {
    FillPackedRect(left, top, right - left, bottom - top, colour);
    return;
  }
  const Yuv yuv = ToYuv(colour);
  FillPlane(m_data, m_width, left, top, right - left, bottom - top, yuv.y);
  if (m_format == PIX_FMT_GRAY8) return;
  // Chroma covers every 2 x 2 block the rectangle touches.
  const int chromaWidth = (m_width + 1) / 2;
  const int chromaHeight = (m_height + 1) / 2;
  uint8_t* u = m_data + m_width * m_height;
  uint8_t* v = u + chromaWidth * chromaHeight;
  const int cl = left / 2, ct = top / 2, cr = (right + 1) / 2, cb = (bottom + 1) / 2;
  FillPlane(u, chromaWidth, cl, ct, cr - cl, cb - ct, yuv.u);
  FillPlane(v, chromaWidth, cl, ct, cr - cl, cb - ct, yuv.v);
}

int PictureCanvas::TextWidth(const std::string& text, int scale) {
  return static_cast<int>(text.size()) * (kGlyphWidth + 1) * scale - scale;
}

void PictureCanvas::DrawText(int x, int y, int scale, const std::string& text, Rgb colour) {
  for (const char c : text) {
    if (const uint8_t* rows = Glyph(c)) {
      for (int row = 0; row < kGlyphHeight; ++row)
        for (int column = 0; column < kGlyphWidth; ++column)
          if (rows[row] & (0x10 >> column))
            FillRect(x + column * scale, y + row * scale, scale, scale, colour);
    }
    x += (kGlyphWidth + 1) * scale;
  }
}

}  // namespace sorvo::tools
