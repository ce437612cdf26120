#include "muxing/ClipImage.h"

#include <cstdint>
#include <limits>
#include <opencv2/core.hpp>

namespace {

// Bytes of one row of `width` pixels, padded to a multiple of 4; 0 when it does not fit.
size_t PaddedRow(int width, int channels) {
  const int64_t row = (static_cast<int64_t>(width) * channels + 3) & ~int64_t{3};
  return row > std::numeric_limits<int>::max() ? 0 : static_cast<size_t>(row);
}

}  // namespace

void ClipImage(unsigned char* source,
               unsigned char* destination,
               int width,
               int height,
               int left,
               int top,
               int right,
               int bottom,
               int channels) {
  if (source == nullptr || destination == nullptr || width <= 0 || height <= 0 || channels < 1 ||
      channels > 4 || left < 0 || top < 0 || right < 0 || bottom < 0)
    return;
  const int64_t innerWidth = static_cast<int64_t>(width) - left - right;
  const int64_t innerHeight = static_cast<int64_t>(height) - top - bottom;
  if (innerWidth <= 0 || innerHeight <= 0)
    return;
  const size_t sourceRow = PaddedRow(width, channels);
  const size_t destinationRow = PaddedRow(static_cast<int>(innerWidth), channels);
  if (sourceRow == 0 || destinationRow == 0)
    return;

  const int type = CV_8UC(channels);
  const cv::Mat whole(height, width, type, source, sourceRow);
  const cv::Mat inner =
      whole(cv::Rect(left, top, static_cast<int>(innerWidth), static_cast<int>(innerHeight)));
  cv::Mat clipped(static_cast<int>(innerHeight), static_cast<int>(innerWidth), type, destination,
                  destinationRow);
  inner.copyTo(clipped);
}
