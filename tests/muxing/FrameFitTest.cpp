#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FitTestSupport.h"
#include "common/CodecTestSupport.h"
#include "common/TestAppDir.h"
#include "host/PixelFormat.h"
#include "muxing/CameraFit.h"
#include "muxing/ClipImage.h"
#include "muxing/LetterboxCanvas.h"

namespace {

using sorvo::CameraFit;
using sorvo::FitResult;
using sorvo::FitSource;
using sorvo::FitTarget;
using sorvo::LetterboxCanvas;
using sorvo::test::Bt601;
using sorvo::test::MeanColour;
using sorvo::test::Near;
using sorvo::test::SolidPackedPicture;
using sorvo::test::SolidYuvPicture;
using sorvo::test::Yuv;

constexpr uint32_t kRed = 0x000000FF;  // 0x00BBGGRR
const Yuv kRedYuv = Bt601(255, 0, 0);
// The camera's colour.
constexpr uint8_t kR = 40, kG = 200, kB = 80;
const Yuv kCameraYuv = Bt601(kR, kG, kB);

// A camera picture of the camera's colour, of exactly its size: a scaler reading past its
// end is caught by AddressSanitizer.
std::vector<uint8_t> CameraPicture(PixelFormat format, int width, int height) {
  if (format == PIX_FMT_YUV420P)
    return SolidYuvPicture(width, height, kCameraYuv);
  return SolidPackedPicture(format, width, height, kR, kG, kB);
}

FitSource SourceOf(std::vector<uint8_t>& picture, int width, int height, PixelFormat format) {
  return FitSource{picture.data(), static_cast<long>(picture.size()), width, height, format};
}

FitTarget DirectorOf(int width,
                     int height,
                     PixelFormat format = PIX_FMT_YUV420P,
                     uint32_t fill = kRed) {
  FitTarget target;
  target.width = width;
  target.height = height;
  target.format = format;
  target.fill = fill;
  return target;
}

TEST(CameraFitTest, LetterboxIntoAPackedDirectorFormat) {
  CameraFit fit;
  std::vector<uint8_t> camera = CameraPicture(PIX_FMT_YUV420P, 160, 120);
  const FitResult result = fit.Letterbox(SourceOf(camera, 160, 120, PIX_FMT_YUV420P),
                                         DirectorOf(320, 180, PIX_FMT_BGR24));
  ASSERT_NE(result.data, nullptr);
  ASSERT_EQ(result.length, 320 * 180 * 3);
  const uint8_t* border = result.data + (90 * 320 + 10) * 3;
  EXPECT_NEAR(border[0], 0, 3);  // blue
  EXPECT_NEAR(border[1], 0, 3);  // green
  EXPECT_NEAR(border[2], 255, 3);
  const uint8_t* centre = result.data + (90 * 320 + 160) * 3;
  EXPECT_NEAR(centre[0], kB, 4);
  EXPECT_NEAR(centre[1], kG, 4);
  EXPECT_NEAR(centre[2], kR, 4);
}

// Odd sizes everywhere: rows that are no multiple of 4 bytes, odd chroma, a fitted region
// that has to be brought to even corners. Every buffer is exactly as large as its picture.
struct OddCase {
  PixelFormat format;
  int width, height;
  int directorWidth, directorHeight;
};

class CameraFitOddSizeTest : public ::testing::TestWithParam<OddCase> {};

TEST_P(CameraFitOddSizeTest, FittedPicturesKeepTheirColoursAndStayInTheirBuffers) {
  const OddCase c = GetParam();
  std::vector<uint8_t> camera = CameraPicture(c.format, c.width, c.height);
  const FitTarget director = DirectorOf(c.directorWidth, c.directorHeight);
  const long directorSize = sorvo::PictureSize(PIX_FMT_YUV420P, c.directorWidth, c.directorHeight);
  const int cx = c.directorWidth / 2, cy = c.directorHeight / 2;

  CameraFit stretch;
  const FitResult stretched =
      stretch.Stretch(SourceOf(camera, c.width, c.height, c.format), director);
  ASSERT_NE(stretched.data, nullptr);
  EXPECT_EQ(stretched.length, directorSize);
  const Yuv all = MeanColour(stretched.data, c.directorWidth, c.directorHeight, 0, 0,
                             c.directorWidth, c.directorHeight);
  EXPECT_TRUE(Near(all, kCameraYuv, 2)) << all;

  CameraFit letterbox;
  const FitResult boxed =
      letterbox.Letterbox(SourceOf(camera, c.width, c.height, c.format), director);
  ASSERT_NE(boxed.data, nullptr);
  EXPECT_EQ(boxed.length, directorSize);
  const Yuv centre =
      MeanColour(boxed.data, c.directorWidth, c.directorHeight, cx - 2, cy - 2, cx + 2, cy + 2);
  EXPECT_TRUE(Near(centre, kCameraYuv, 2)) << centre;
  // The corner is border unless the picture fills the whole width or height.
  const Yuv corner = MeanColour(boxed.data, c.directorWidth, c.directorHeight, 0, 0, 1, 1);
  const bool fillsWidth = boxed.fittedWidth >= c.directorWidth - 1;
  const bool fillsHeight = boxed.fittedHeight >= c.directorHeight - 1;
  if (!fillsWidth || !fillsHeight) {
    EXPECT_TRUE(Near(corner, kRedYuv, 2)) << corner;
  }
  EXPECT_LE(boxed.fittedWidth, c.directorWidth);
  EXPECT_LE(boxed.fittedHeight, c.directorHeight);
}

INSTANTIATE_TEST_SUITE_P(OddSizes,
                         CameraFitOddSizeTest,
                         ::testing::Values(OddCase{PIX_FMT_BGR24, 161, 121, 321, 181},
                                           OddCase{PIX_FMT_YUV420P, 175, 143, 321, 181},
                                           OddCase{PIX_FMT_BGRA, 161, 121, 320, 180},
                                           OddCase{PIX_FMT_RGB24, 97, 203, 321, 181},
                                           OddCase{PIX_FMT_BGR24, 641, 121, 101, 101}));

TEST(CameraFitTest, ScalersAreSetUpOncePerSizeAndAgainWhenTheCameraChangesOrAfterRelease) {
  CameraFit fit;
  const FitTarget director = DirectorOf(320, 180);
  std::vector<uint8_t> large = CameraPicture(PIX_FMT_BGR24, 160, 120);
  EXPECT_TRUE(fit.Stretch(SourceOf(large, 160, 120, PIX_FMT_BGR24), director).setUp);
  EXPECT_FALSE(fit.Stretch(SourceOf(large, 160, 120, PIX_FMT_BGR24), director).setUp);

  // A camera that starts sending smaller pictures is scaled from its new size; the old
  // scaler would read far past the end of the new picture.
  std::vector<uint8_t> small = CameraPicture(PIX_FMT_BGR24, 80, 60);
  const FitResult resized = fit.Stretch(SourceOf(small, 80, 60, PIX_FMT_BGR24), director);
  EXPECT_TRUE(resized.setUp);
  ASSERT_NE(resized.data, nullptr);
  EXPECT_TRUE(Near(MeanColour(resized.data, 320, 180, 0, 0, 320, 180), kCameraYuv, 2));

  fit.Release();
  EXPECT_TRUE(fit.Stretch(SourceOf(small, 80, 60, PIX_FMT_BGR24), director).setUp);
  // A director of another size is a new set-up as well.
  EXPECT_TRUE(fit.Stretch(SourceOf(small, 80, 60, PIX_FMT_BGR24), DirectorOf(352, 288)).setUp);
}

// A 4K camera's fit converts in bands and scales from YUV; the one-step fit of before stays
// where the settings keep every camera on one thread. Both show the same picture.
TEST(CameraFitTest, ALargeCameraIsConvertedBeforeItIsScaledAndShowsWhatTheOneStepFitShows) {
  constexpr int kW = 3840, kH = 2160;
  std::vector<uint8_t> camera(static_cast<size_t>(kW) * kH * 3);
  for (size_t i = 0; i < camera.size(); ++i)  // soft gradients in three directions
    camera[i] = static_cast<uint8_t>((i % (kW * 3)) / 60 + i / (kW * 3) / 20 * (i % 3));
  const FitTarget director = DirectorOf(1280, 720);
  std::vector<std::vector<uint8_t>> fitted;
  for (const char* threads : {"0", "1"}) {
    sorvo::test::TestAppDir dir;
    dir.WriteFile("SettingVideo.ini", std::string("[Video]\nEncodeThreads=") + threads + "\n");
    CameraFit fit;
    const FitResult stretched = fit.Stretch(SourceOf(camera, kW, kH, PIX_FMT_BGR24), director);
    ASSERT_NE(stretched.data, nullptr) << threads;
    fitted.emplace_back(stretched.data, stretched.data + stretched.length);
    const FitResult boxed = fit.Letterbox(SourceOf(camera, kW, kH, PIX_FMT_BGR24), director);
    ASSERT_NE(boxed.data, nullptr) << threads;
    EXPECT_TRUE(std::equal(boxed.data, boxed.data + boxed.length, fitted.back().begin()))
        << "a 16:9 camera fills a 16:9 cut either way";
  }
  sorvo::ScalerSlot direct;
  ASSERT_TRUE(direct.SetUp(kW, kH, PIX_FMT_BGR24, 1280, 720, PIX_FMT_YUV420P));
  ASSERT_TRUE(direct.Scale(camera.data()));
  EXPECT_TRUE(std::equal(fitted[1].begin(), fitted[1].end(), direct.Buffer()));
  ASSERT_EQ(fitted[0].size(), fitted[1].size());
  int worst = 0;
  for (size_t i = 0; i < fitted[0].size(); ++i)
    worst = std::max(worst, std::abs(fitted[0][i] - fitted[1][i]));
  EXPECT_LE(worst, 3);
}

TEST(CameraFitTest, ShortOrUnknownPicturesAreRefused) {
  CameraFit fit;
  const FitTarget director = DirectorOf(320, 180);
  std::vector<uint8_t> camera = CameraPicture(PIX_FMT_BGR24, 160, 120);
  FitSource shortSource = SourceOf(camera, 160, 120, PIX_FMT_BGR24);
  shortSource.length -= 1;
  const FitResult shortResult = fit.Letterbox(shortSource, director);
  EXPECT_EQ(shortResult.data, nullptr);
  EXPECT_FALSE(shortResult.failed);

  for (PixelFormat unknown : {PIX_FMT_NONE, static_cast<PixelFormat>(15)}) {
    const FitResult first = fit.Stretch(SourceOf(camera, 160, 120, unknown), director);
    EXPECT_EQ(first.data, nullptr);
    EXPECT_TRUE(first.failed);
    // Reported once; the same pictures are then refused quietly.
    const FitResult again = fit.Stretch(SourceOf(camera, 160, 120, unknown), director);
    EXPECT_EQ(again.data, nullptr);
    EXPECT_FALSE(again.failed);
  }
  // A picture that can be fitted is fitted again afterwards.
  EXPECT_NE(fit.Stretch(SourceOf(camera, 160, 120, PIX_FMT_BGR24), director).data, nullptr);
}

TEST(LetterboxCanvasTest, RegionGetsEvenCornersAndStaysInsideTheCanvas) {
  EXPECT_EQ(LetterboxCanvas::EvenRegion(CRect(40, 0, 280, 180), 320, 180), CRect(40, 0, 280, 180));
  EXPECT_EQ(LetterboxCanvas::EvenRegion(CRect(41, 0, 280, 180), 320, 180), CRect(40, 0, 280, 180));
  EXPECT_EQ(LetterboxCanvas::EvenRegion(CRect(41, 1, 279, 180), 320, 180), CRect(40, 0, 278, 180));
  // An odd size may remain where the region reaches the canvas's right or bottom edge.
  EXPECT_EQ(LetterboxCanvas::EvenRegion(CRect(0, 1, 321, 181), 321, 181), CRect(0, 0, 321, 181));
  EXPECT_EQ(LetterboxCanvas::EvenRegion(CRect(4, 4, 5, 5), 320, 180), CRect());
}

// A packed picture whose every byte names its place, rows padded to 4 bytes with 0xEE.
std::vector<uint8_t> NumberedPicture(int width, int height, int channels) {
  const int row = (width * channels + 3) & ~3;
  std::vector<uint8_t> picture(row * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width * channels; ++x)
      picture[y * row + x] = static_cast<uint8_t>(y * 40 + x);
  return picture;
}

TEST(ClipImageTest, WithoutMarginsCopiesThePictureRowByRow) {
  std::vector<uint8_t> source = NumberedPicture(5, 3, 3);  // 15-byte rows padded to 16
  std::vector<uint8_t> destination(source.size(), 0x11);
  ClipImage(source.data(), destination.data(), 5, 3, 0, 0, 0, 0, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 15; ++x)
      EXPECT_EQ(destination[y * 16 + x], source[y * 16 + x]) << y << "," << x;
    EXPECT_EQ(destination[y * 16 + 15], 0x11) << "padding of row " << y;
  }
}

TEST(ClipImageTest, MarginsAreCutOffEachSide) {
  // 7 x 5 pixels of 3 bytes; left 1, top 2, right 3, bottom 1 leave 3 x 2.
  const std::vector<uint8_t> source = NumberedPicture(7, 5, 3);
  std::vector<uint8_t> copy = source;
  std::vector<uint8_t> destination(12 * 2, 0x11);  // 9-byte rows padded to 12
  ClipImage(copy.data(), destination.data(), 7, 5, 1, 2, 3, 1, 3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x)
      EXPECT_EQ(destination[y * 12 + x], source[(y + 2) * 24 + 3 + x]) << y << "," << x;
  EXPECT_EQ(copy, source);
}

TEST(ClipImageTest, MarginsThatLeaveNoPictureAreRefusedWithoutTouchingTheDestination) {
  std::vector<uint8_t> source = NumberedPicture(8, 6, 1);
  struct Margins {
    int left, top, right, bottom, channels;
  };
  for (const Margins m : {Margins{4, 0, 4, 0, 1}, Margins{0, 3, 0, 3, 1}, Margins{9, 0, 0, 0, 1},
                          Margins{0, 0, 0, 7, 1}, Margins{-1, 0, 0, 0, 1}, Margins{0, 0, -2, 0, 1},
                          Margins{1, 1, 1, 1, 0}, Margins{1, 1, 1, 1, 5}}) {
    std::vector<uint8_t> destination(64, 0x5A);
    ClipImage(source.data(), destination.data(), 8, 6, m.left, m.top, m.right, m.bottom,
              m.channels);
    EXPECT_EQ(destination, std::vector<uint8_t>(64, 0x5A))
        << m.left << " " << m.top << " " << m.right << " " << m.bottom << " " << m.channels;
  }
  std::vector<uint8_t> destination(64, 0x5A);
  ClipImage(nullptr, destination.data(), 8, 6, 0, 0, 0, 0, 1);
  ClipImage(source.data(), destination.data(), 0, 6, 0, 0, 0, 0, 1);
  EXPECT_EQ(destination, std::vector<uint8_t>(64, 0x5A));
}

}  // namespace
