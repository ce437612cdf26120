#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include "codec/FFDeleters.h"
#include "host/BandedConversion.h"
#include "host/MediaBase.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

struct Yuv {
  std::vector<uint8_t> bytes;  // packed planes, then guard bytes
  sorvo::FramePtr frame;
};

Yuv Planes(int width, int height) {
  Yuv yuv;
  const int size = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1);
  yuv.bytes.assign(size + 64, kGuard);
  yuv.frame.reset(av_frame_alloc());
  av_image_fill_arrays(yuv.frame->data, yuv.frame->linesize, yuv.bytes.data(), AV_PIX_FMT_YUV420P,
                       width, height, 1);
  return yuv;
}

// Texture with sharp colour edges across every row, so that any sample converted from
// the wrong rows shows.
std::vector<uint8_t> Texture(int width, int height, int bytesPerPixel) {
  std::vector<uint8_t> packed(static_cast<size_t>(width) * height * bytesPerPixel);
  uint32_t state = 12345;
  for (uint8_t& sample : packed) {
    state = state * 1103515245 + 12345;
    sample = static_cast<uint8_t>(state >> 24);
  }
  return packed;
}

// How far from the nearest seam between bands a luma row lies, in rows.
int RowsFromSeam(int row, int height, int bands) {
  const int rows = (height / bands) & ~1;
  int nearest = height;
  for (int seam = 1; seam < bands; ++seam)
    nearest = std::min(nearest, std::abs(row - seam * rows));
  return nearest;
}

TEST(BandedConversionTest, BandsGiveTheWholePicturesConversionAwayFromTheSeams) {
  constexpr int kBands = 3;
  sorvo::BandedConversion bands(kBands, "test-bands");
  ASSERT_EQ(bands.bands(), kBands);
  struct Case {
    PixelFormat format;
    int bytesPerPixel;
    int width, height;
  };
  // Both of libswscale's paths, odd sizes, and a picture too short for three bands of two
  // rows.
  for (Case c : {Case{PIX_FMT_BGR24, 3, 640, 360}, Case{PIX_FMT_BGR24, 3, 322, 241},
                 Case{PIX_FMT_BGR24, 3, 100, 5}, Case{PIX_FMT_RGB24, 3, 320, 240},
                 Case{PIX_FMT_BGRA, 4, 201, 99}}) {
    const std::vector<uint8_t> packed = Texture(c.width, c.height, c.bytesPerPixel);
    Yuv whole = Planes(c.width, c.height);
    Yuv banded = Planes(c.width, c.height);
    ConvertRGBToYV420P(const_cast<uint8_t*>(packed.data()), c.width, c.height, c.format,
                       whole.frame.get());
    bands.Convert(packed.data(), c.width, c.height, c.format, banded.frame->data,
                  banded.frame->linesize);
    const std::string name =
        std::to_string(c.format) + " " + std::to_string(c.width) + "x" + std::to_string(c.height);

    // An odd height is converted whole.
    const int bandCount = c.height % 2 != 0 ? 1 : std::min(kBands, c.height / 2);
    for (int plane = 0; plane < 3; ++plane) {
      const int width = plane == 0 ? c.width : (c.width + 1) / 2;
      const int height = plane == 0 ? c.height : (c.height + 1) / 2;
      for (int row = 0; row < height; ++row) {
        const int lumaRow = plane == 0 ? row : 2 * row;
        const bool nearSeam = RowsFromSeam(lumaRow, c.height, bandCount) <= 6;
        const uint8_t* a = banded.frame->data[plane] + row * banded.frame->linesize[plane];
        const uint8_t* b = whole.frame->data[plane] + row * whole.frame->linesize[plane];
        for (int x = 0; x < width; ++x) {
          if (!nearSeam) {
            ASSERT_EQ(a[x], b[x]) << name << " plane " << plane << " row " << row << " x " << x;
          } else if (plane == 0) {
            ASSERT_LE(std::abs(a[x] - b[x]), 1) << name << " luma row " << row << " x " << x;
          }
        }
      }
    }
    for (size_t i = banded.bytes.size() - 64; i < banded.bytes.size(); ++i)
      ASSERT_EQ(banded.bytes[i], kGuard) << name << " past the planes";
  }
}

}  // namespace
