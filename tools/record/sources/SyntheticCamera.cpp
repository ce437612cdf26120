#include "tools/record/sources/SyntheticCamera.h"

#include <algorithm>
#include <cstdio>

#include "tools/common/PixelFormatName.h"
#include "tools/record/sources/PictureCanvas.h"

namespace sorvo::tools {
namespace {

const std::vector<Rgb> kBars = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {40, 40, 40}};

// Position of something bouncing between 0 and `range` at `speed` per picture.
int Bounce(int64_t index, int speed, int range) {
  if (range <= 0)
    return 0;
  const int64_t travel = index * speed % (2 * range);
  return static_cast<int>(travel < range ? travel : 2 * range - travel);
}

}  // namespace

SyntheticCamera::SyntheticCamera(int number,
                                 int width,
                                 int height,
                                 PixelFormat format,
                                 int frameRate)
    : m_number(number), m_bars(width, height, format, kBars) {
  m_width = width;
  m_height = height;
  m_pixelFormat = format;
  m_frameRate = frameRate;
}

std::string SyntheticCamera::Describe() const {
  char text[96];
  std::snprintf(text, sizeof(text), "test pattern %dx%d %s", m_width, m_height,
                PixelFormatName(m_pixelFormat));
  return text;
}

bool SyntheticCamera::Next(std::vector<uint8_t>* data, double* due) {
  NextPicture(due);
  Draw(m_announced, data);
  return true;
}

bool SyntheticCamera::NextPicture(double* due) {
  m_announced = m_next++;
  *due = static_cast<double>(m_announced) / m_frameRate;
  return true;
}

bool SyntheticCamera::WritePicture(uint8_t* into) {
  DrawInto(m_announced, into);
  return true;
}

void SyntheticCamera::Draw(int64_t index, std::vector<uint8_t>* data) const {
  data->resize(pictureSize());
  DrawInto(index, data->data());
}

void SyntheticCamera::DrawInto(int64_t index, uint8_t* data) const {
  PictureCanvas canvas(data, m_width, m_height, m_pixelFormat);

  // The bars scroll a little each picture.
  m_bars.Draw(data, index * std::max(1, m_width / 200));

  const int box = std::max(8, m_height / 6);
  canvas.FillRect(Bounce(index, std::max(2, m_width / 120), m_width - box),
                  Bounce(index, std::max(2, m_height / 90), m_height - box), box, box,
                  Rgb{255, 128, 0});

  const int scale = std::max(1, m_height / 60);
  char counter[32];
  std::snprintf(counter, sizeof(counter), "%06lld", static_cast<long long>(index));
  const std::string label = "CAM " + std::to_string(m_number);
  const int margin = 2 * scale;
  const int textWidth =
      std::max(PictureCanvas::TextWidth(label, scale), PictureCanvas::TextWidth(counter, scale));
  const int lineHeight = 9 * scale;
  canvas.FillRect(0, 0, textWidth + 2 * margin, 2 * lineHeight + margin, Rgb{0, 0, 0});
  canvas.DrawText(margin, margin, scale, label, Rgb{255, 255, 255});
  canvas.DrawText(margin, margin + lineHeight, scale, counter, Rgb{255, 255, 0});
}

}  // namespace sorvo::tools
