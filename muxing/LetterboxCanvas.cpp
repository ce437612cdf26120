#include "muxing/LetterboxCanvas.h"

#include "host/PixelFormat.h"

namespace sorvo {

namespace {

// Even start, and an even length unless the span reaches `limit`.
void EvenSpan(int32_t* start, int32_t* end, int limit) {
  *start &= ~1;
  if ((*end - *start) % 2 != 0 && *end != limit)
    --*end;
}

int Half(int n) {
  return (n + 1) / 2;
}

// Y, U and V headers over a YUV 4:2:0 picture with packed planes.
void PlaneHeaders(unsigned char* data, int width, int height, cv::Mat planes[3]) {
  const size_t lumaBytes = static_cast<size_t>(width) * height;
  const size_t chromaBytes = static_cast<size_t>(Half(width)) * Half(height);
  planes[0] = cv::Mat(height, width, CV_8UC1, data, width);
  planes[1] = cv::Mat(Half(height), Half(width), CV_8UC1, data + lumaBytes, Half(width));
  planes[2] =
      cv::Mat(Half(height), Half(width), CV_8UC1, data + lumaBytes + chromaBytes, Half(width));
}

}  // namespace

LetterboxCanvas::LetterboxCanvas() = default;
LetterboxCanvas::~LetterboxCanvas() = default;

CRect LetterboxCanvas::EvenRegion(const CRect& rect, int width, int height) {
  CRect even = rect;
  EvenSpan(&even.left, &even.right, width);
  EvenSpan(&even.top, &even.bottom, height);
  if (even.Width() <= 0 || even.Height() <= 0)
    return CRect();
  return even;
}

bool LetterboxCanvas::Make(int width,
                           int height,
                           const CRect& region,
                           Colour border,
                           unsigned char* fitted) {
  Release();
  const int size = PictureSize(PIX_FMT_YUV420P, width, height);
  if (fitted == nullptr || size <= 0 || region.Width() <= 0 || region.Height() <= 0 ||
      region.left < 0 || region.top < 0 || region.right > width || region.bottom > height ||
      region.left % 2 != 0 || region.top % 2 != 0)
    return false;

  m_buffer.reset(new unsigned char[size]);
  m_nSize = size;
  PlaneHeaders(m_buffer.get(), width, height, m_canvas);
  m_canvas[0].setTo(border.y);
  m_canvas[1].setTo(border.u);
  m_canvas[2].setTo(border.v);

  const int fw = region.Width();
  const int fh = region.Height();
  PlaneHeaders(fitted, fw, fh, m_fitted);
  m_region[0] = m_canvas[0](cv::Rect(region.left, region.top, fw, fh));
  const cv::Rect chroma(region.left / 2, region.top / 2, Half(fw), Half(fh));
  m_region[1] = m_canvas[1](chroma);
  m_region[2] = m_canvas[2](chroma);
  return true;
}

void LetterboxCanvas::Paste() {
  for (int i = 0; i < 3; ++i)
    m_fitted[i].copyTo(m_region[i]);
}

void LetterboxCanvas::Release() {
  for (int i = 0; i < 3; ++i) {
    m_canvas[i].release();
    m_region[i].release();
    m_fitted[i].release();
  }
  m_buffer.reset();
  m_nSize = 0;
}

}  // namespace sorvo
