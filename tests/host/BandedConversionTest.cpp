#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "host/BandedConversion.h"
#include "host/MediaBase.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

// YUV 4:2:0 planes packed one after another, then guard bytes.
struct Yuv {
  Yuv(int width, int height) {
    bytes.assign(av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1) + 64, kGuard);
    av_image_fill_arrays(planes, linesizes, bytes.data(), AV_PIX_FMT_YUV420P, width, height, 1);
  }
  std::vector<uint8_t> bytes;
  uint8_t* planes[4];
  int linesizes[4];
};

// How far from the nearest seam between bands a luma row lies, in rows.
int RowsFromSeam(int row, int height, int bands) {
  int nearest = height;
  for (int seam = 1; seam < bands; ++seam)
    nearest = std::min(nearest, std::abs(row - seam * ((height / bands) & ~1)));
  return nearest;
}

TEST(BandedConversionTest, BandsGiveTheWholePicturesConversionAwayFromTheSeams) {
  constexpr int kBands = 3;
  sorvo::BandedConversion bands(kBands, "test-bands");
  ASSERT_EQ(bands.bands(), kBands);
  struct Case {
    PixelFormat format;
    int bytesPerPixel, width, height;
  };
  // Both of libswscale's paths, odd sizes (an odd height is converted whole), and a picture
  // too short for three bands of two rows.
  for (Case c : {Case{PIX_FMT_BGR24, 3, 640, 360}, Case{PIX_FMT_BGR24, 3, 322, 241},
                 Case{PIX_FMT_BGR24, 3, 100, 4}, Case{PIX_FMT_RGB24, 3, 320, 240},
                 Case{PIX_FMT_BGRA, 4, 201, 99}}) {
    // Noise: a sample converted from the wrong rows shows.
    std::vector<uint8_t> packed(static_cast<size_t>(c.width) * c.height * c.bytesPerPixel);
    uint32_t state = 12345;
    for (uint8_t& sample : packed)
      sample = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 24);
    Yuv whole(c.width, c.height), banded(c.width, c.height);
    sorvo::ConvertPackedToYuv420(packed.data(), c.width, c.height, c.format, whole.planes,
                                 whole.linesizes);
    bands.Convert(packed.data(), c.width, c.height, c.format, banded.planes, banded.linesizes);
    const std::string name =
        std::to_string(c.format) + " " + std::to_string(c.width) + "x" + std::to_string(c.height);

    const int bandCount = c.height % 2 != 0 ? 1 : std::min(kBands, c.height / 2);
    for (int plane = 0; plane < 3; ++plane) {
      const int sub = plane == 0 ? 1 : 2;
      for (int row = 0; row < (c.height + sub - 1) / sub; ++row) {
        const uint8_t* a = banded.planes[plane] + row * banded.linesizes[plane];
        const uint8_t* b = whole.planes[plane] + row * whole.linesizes[plane];
        // Next to a seam, libswscale's rounding and edge filtering may differ a little.
        const int slack = RowsFromSeam(row * sub, c.height, bandCount) > 6 ? 0
                          : plane == 0                                     ? 1
                                                                           : 255;
        for (int x = 0; x < (c.width + sub - 1) / sub; ++x)
          ASSERT_LE(std::abs(a[x] - b[x]), slack)
              << name << " plane " << plane << " row " << row << " x " << x;
      }
    }
    for (size_t i = banded.bytes.size() - 64; i < banded.bytes.size(); ++i)
      ASSERT_EQ(banded.bytes[i], kGuard) << name << " past the planes";
  }
}

}  // namespace
