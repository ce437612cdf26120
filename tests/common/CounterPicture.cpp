#include "common/CounterPicture.h"

#include <cstdlib>

namespace sorvo::test {
namespace {

constexpr int kCounterBits = 16;
constexpr int kCameraBits = 4;
constexpr int kBlocksAcross = 8;
constexpr uint8_t kDark = 16;
constexpr uint8_t kLight = 235;

// Where bit `bit` of the marks sits: the counter's in rows 0 and 1, the camera's in row 2.
void BlockOf(int bit, int* x, int* y) {
  *x = (bit % kBlocksAcross) * kCounterBlock;
  *y = (bit / kBlocksAcross) * kCounterBlock;
}

}  // namespace

std::vector<uint8_t> CounterPicture(int width, int height, int camera, int counter) {
  const int chroma = ((width + 1) / 2) * ((height + 1) / 2);
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height + 2 * chroma, 128);
  const uint32_t marks =
      (static_cast<uint32_t>(camera) << kCounterBits) | (static_cast<uint32_t>(counter) & 0xFFFF);
  for (int bit = 0; bit < kCounterBits + kCameraBits; ++bit) {
    int left = 0, top = 0;
    BlockOf(bit, &left, &top);
    const uint8_t value = (marks >> bit) & 1 ? kLight : kDark;
    for (int row = top; row < top + kCounterBlock && row < height; ++row)
      for (int col = left; col < left + kCounterBlock && col < width; ++col)
        picture[row * width + col] = value;
  }
  return picture;
}

CounterMark ReadCounter(const Picture& picture) {
  CounterMark mark;
  if (picture.width < kBlocksAcross * kCounterBlock || picture.height < 3 * kCounterBlock)
    return mark;
  uint32_t marks = 0;
  for (int bit = 0; bit < kCounterBits + kCameraBits; ++bit) {
    int left = 0, top = 0;
    BlockOf(bit, &left, &top);
    // The middle of the block, away from the edges the codec blurs.
    int sum = 0;
    const int quarter = kCounterBlock / 4;
    for (int row = top + quarter; row < top + 3 * quarter; ++row)
      for (int col = left + quarter; col < left + 3 * quarter; ++col)
        sum += picture.y[row * picture.width + col];
    const int mean = sum / (4 * quarter * quarter);
    // A block neither dark nor light is no mark.
    if (std::abs(mean - 128) < 48)
      return mark;
    if (mean > 128)
      marks |= 1u << bit;
  }
  mark.readable = true;
  mark.counter = static_cast<int>(marks & 0xFFFF);
  mark.camera = static_cast<int>(marks >> kCounterBits);
  return mark;
}

}  // namespace sorvo::test
