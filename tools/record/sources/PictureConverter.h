// Turns decoded frames into pictures of one fixed size in planar YUV 4:2:0, as a camera's
// sink takes them whatever its source does: a stream whose picture size changes midway, or
// a source that comes back with another size, is scaled to the size the sink was made
// with. Each new size of the source is said once.
//
// One thread at a time.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class PictureConverter {
 public:
  PictureConverter(int width, int height) : m_width(width), m_height(height) {}

  // False when libswscale cannot convert the frame.
  bool Convert(const AVFrame* frame, std::vector<uint8_t>* picture);
  // Into the picture's bytes at `picture` (SorvoPictureSize of 4:2:0 at the fixed size).
  bool Convert(const AVFrame* frame, uint8_t* picture);
  // What to tell the user about the frame just converted, once for each size other than
  // the sink's; empty otherwise.
  const std::string& note() const { return m_note; }

 private:
  const int m_width;
  const int m_height;
  ScalerPtr m_scaler;
  std::set<std::pair<int, int>> m_sizesSeen;
  std::string m_note;
};

}  // namespace sorvo::tools
