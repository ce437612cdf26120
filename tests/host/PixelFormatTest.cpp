#include <gtest/gtest.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "host/PixelFormat.h"

namespace {

TEST(PixelFormatTest, OldNumbersMapOntoFFmpeg51) {
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_YUV420P), AV_PIX_FMT_YUV420P);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_RGB24), AV_PIX_FMT_RGB24);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_BGR24), AV_PIX_FMT_BGR24);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_GRAY8), AV_PIX_FMT_GRAY8);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_ARGB), AV_PIX_FMT_ARGB);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_RGBA), AV_PIX_FMT_RGBA);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_ABGR), AV_PIX_FMT_ABGR);
  EXPECT_EQ(sorvo::ToAVPixelFormat(PIX_FMT_BGRA), AV_PIX_FMT_BGRA);
  for (int gone : {-1, 15, 16, 31, 64, -5})
    EXPECT_EQ(sorvo::ToAVPixelFormat(gone), AV_PIX_FMT_NONE) << gone;
  for (int old = 0; old <= 30; ++old) {
    if (old == 15 || old == 16) continue;
    EXPECT_EQ(sorvo::FromAVPixelFormat(sorvo::ToAVPixelFormat(old)), old);
  }
}

TEST(PixelFormatTest, PictureSizes) {
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_YUV420P, 640, 480), 640 * 480 * 3 / 2);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_RGB24, 640, 480), 640 * 480 * 3);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_BGR24, 640, 480), 640 * 480 * 3);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_GRAY8, 640, 480), 640 * 480);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_RGBA, 640, 480), 640 * 480 * 4);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_BGRA, 640, 480), 640 * 480 * 4);
  // Odd sizes round the chroma planes up.
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_YUV420P, 101, 101), 101 * 101 + 2 * 51 * 51);
  EXPECT_EQ(SorvoPictureSize(15, 640, 480), 0);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_NONE, 640, 480), 0);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_BGR24, 0, 480), 0);
  EXPECT_EQ(SorvoPictureSize(PIX_FMT_BGR24, -2, 480), 0);
}

}  // namespace
