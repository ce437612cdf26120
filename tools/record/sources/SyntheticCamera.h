// A camera made up in memory: colour bars scrolling sideways, a square bouncing across
// them, and on a dark panel the camera's number and the picture counter, so that a viewer
// can tell the cameras apart and see pictures missing.
#pragma once

#include "tools/record/sources/MediaSource.h"
#include "tools/record/sources/ScrollingBars.h"

namespace sorvo::tools {

class SyntheticCamera : public MediaSource {
 public:
  // `format` must be one PictureCanvas supports.
  SyntheticCamera(int number, int width, int height, PixelFormat format, int frameRate);

  bool Next(std::vector<uint8_t>* data, double* due) override;
  // The picture is drawn when written, straight into the sink's buffer.
  bool NextPicture(double* due) override;
  long pictureLength() const override { return pictureSize(); }
  bool WritePicture(uint8_t* into) override;
  std::string Describe() const override;

  // Draws picture `index` into `data` (resized to the picture size).
  void Draw(int64_t index, std::vector<uint8_t>* data) const;

 private:
  // Draws picture `index` into pictureSize() bytes at `data`.
  void DrawInto(int64_t index, uint8_t* data) const;

  int m_number;
  ScrollingBars m_bars;  // drawn once, moved for each picture
  int64_t m_next = 0;
  int64_t m_announced = 0;  // the picture NextPicture announced
};

}  // namespace sorvo::tools
