// Draws filled rectangles and text into one picture buffer of the library's pixel formats:
// packed 24- and 32-bit RGB orders, planar YUV 4:2:0 and 8-bit grey, laid out with
// alignment 1 as the recording sink takes them. Colours are given as RGB and converted
// with the BT.601 studio-range matrix for YUV. Everything is clipped to the picture.
// Not thread-safe; the buffer is not owned.
#pragma once

#include <cstdint>
#include <string>

#include <sorvo/sorvo.h>

namespace sorvo::tools {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

class PictureCanvas {
 public:
  static bool Supports(PixelFormat format);

  // `data` holds SorvoPictureSize(format, width, height) bytes.
  PictureCanvas(uint8_t* data, int width, int height, PixelFormat format);

  void FillRect(int x, int y, int w, int h, Rgb colour);
  // Text in the 5 x 7 font, each font pixel `scale` pixels square; characters the font
  // lacks are left blank.
  void DrawText(int x, int y, int scale, const std::string& text, Rgb colour);
  // Width of `text` as DrawText draws it.
  static int TextWidth(const std::string& text, int scale);

 private:
  void FillPackedRect(int x, int y, int w, int h, Rgb colour);
  void FillPlane(uint8_t* plane, int stride, int x, int y, int w, int h, uint8_t value);

  uint8_t* m_data;
  int m_width;
  int m_height;
  PixelFormat m_format;
};

}  // namespace sorvo::tools
