// The test camera's background: vertical colour bars, each an eighth of the picture wide,
// scrolled sideways and wrapping round. Every row of it is the same, so the rows are drawn
// once, a bar period longer than the picture, and each picture's rows are copied from them
// at the scroll's offset: the bars cost what writing the picture's bytes row after row
// costs, where filling each bar down the whole picture walked its memory once per bar.
// Immutable after construction; any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/record/sources/PictureCanvas.h"

namespace sorvo::tools {

class ScrollingBars {
 public:
  // `format` must be one PictureCanvas supports; `colours` are the bars from left to right.
  ScrollingBars(int width, int height, PixelFormat format, const std::vector<Rgb>& colours);

  // Fills the whole picture at `data` (SorvoPictureSize(format, width, height) bytes) with
  // the bars moved `shift` pixels to the right; planar pictures move in steps of two, so
  // that their colour samples stay on their pixels.
  void Draw(uint8_t* data, int64_t shift) const;

 private:
  struct Plane {
    std::vector<uint8_t> row;  // one row, a period longer than the picture's
    int bytesPerSample = 1;
    int subsampling = 1;  // pixels per sample across and down
  };

  int m_width;
  int m_height;
  int m_period;  // pixels after which the bars repeat
  std::vector<Plane> m_planes;
};

}  // namespace sorvo::tools
