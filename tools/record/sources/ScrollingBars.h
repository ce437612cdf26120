// The test camera's background: vertical colour bars across the picture, scrolled sideways
// and wrapping round. Every row is the same and the bars repeat with the picture's width,
// so the picture's bytes, row after row, are one sequence that repeats with the row: drawn
// once a row longer than the picture, each picture's bars are one copy of it from the
// scroll's offset. (Filling bar after bar down the picture walked a 3840 x 2160 picture's
// memory once per bar in short strides and took, inside a recording, 3.4 times the sink's own
// copy of the picture; one copy takes 1.5 times.) A planar picture of odd width, whose colour
// rows do not repeat with the bars, has its colour planes copied row by row from one row.
// Immutable after construction; any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/record/sources/PictureCanvas.h"

namespace sorvo::tools {

class ScrollingBars {
 public:
  // `format` must be one PictureCanvas supports; `colours` are the bars from left to right,
  // each an equal part of the width.
  ScrollingBars(int width, int height, PixelFormat format, const std::vector<Rgb>& colours);

  // Fills the whole picture at `data` (SorvoPictureSize(format, width, height) bytes) with
  // the bars moved `shift` pixels to the right; planar pictures move in steps of two, so
  // that their colour samples stay on their pixels.
  void Draw(uint8_t* data, int64_t shift) const;

 private:
  struct Plane {
    int across = 0;  // samples a row
    int down = 0;    // rows
    int bytesPerSample = 1;
    int subsampling = 1;  // pixels per sample across and down
    // Whole: the plane's rows laid end to end, one row more than the picture's, copied at
    // once. Otherwise one row a bar period longer than the picture's, copied row by row.
    bool whole = false;
    std::vector<uint8_t> bytes;
  };

  int m_width;
  bool m_planar;
  std::vector<Plane> m_planes;
};

}  // namespace sorvo::tools
