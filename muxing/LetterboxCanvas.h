// The letterbox canvas of one camera: a director-sized YUV 4:2:0 picture whose borders
// keep the border colour, and the region where the fitted camera picture lands.
#pragma once

#include <memory>
#include <opencv2/core.hpp>

#include "host/Win32Types.h"

namespace sorvo {

// The canvas and the fitted picture are OpenCV headers over YUV 4:2:0 buffers with packed
// planes (rows of exactly the plane's width, as libswscale writes and reads them), so the
// headers describe the very bytes the scalers see and never reach past a buffer. The
// region's corners and size are even, so that its chroma samples line up with the
// canvas's.
//
// Not thread-safe: it belongs to one camera's fitting state, which its owner's lock guards.
class LetterboxCanvas {
 public:
  struct Colour {
    uint8_t y, u, v;
  };

  LetterboxCanvas();
  ~LetterboxCanvas();
  LetterboxCanvas(const LetterboxCanvas&) = delete;
  LetterboxCanvas& operator=(const LetterboxCanvas&) = delete;

  // `rect`, moved to even left and top corners and cut to an even size (an odd size only
  // where it reaches the right or bottom edge of a width x height canvas), so that its
  // chroma samples fall on the canvas's. Empty when nothing of it remains.
  static CRect EvenRegion(const CRect& rect, int width, int height);

  // Makes a width x height canvas filled with `border`, whose region `region` (from
  // EvenRegion) takes the fitted picture laid out in `fitted`: region-sized YUV 4:2:0
  // with packed planes, which must stay valid until the next Make or Release. false for
  // an empty region or a region outside the canvas.
  bool Make(int width, int height, const CRect& region, Colour border, unsigned char* fitted);
  // Copies the fitted picture into the region; the borders keep their colour.
  void Paste();
  // Frees the canvas and forgets the fitted picture.
  void Release();

  bool IsMade() const { return m_buffer != nullptr; }
  unsigned char* Data() { return m_buffer.get(); }
  int Size() const { return m_nSize; }

 private:
  std::unique_ptr<unsigned char[]> m_buffer;
  int m_nSize = 0;
  cv::Mat m_canvas[3];  // Y, U, V planes of the canvas
  cv::Mat m_region[3];  // the region of each canvas plane
  cv::Mat m_fitted[3];  // Y, U, V planes of the fitted picture
};

}  // namespace sorvo
