#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ScopedEnv.h"
#include "host/PopupDrawer.h"

namespace {

using sorvo::CPopupDrawer;

// Only used while no UI thread runs, since SDL reads the environment on it.
using sorvo::test::ScopedEnv;

struct Yuv {
  uint8_t y, u, v;
};
constexpr Yuv kMagenta{106, 202, 222};
constexpr Yuv kGreen{145, 54, 34};

std::vector<unsigned char> SolidYuv(int width, int height, Yuv colour) {
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  std::vector<unsigned char> picture(luma + 2 * chroma, colour.y);
  std::fill(picture.begin() + luma, picture.begin() + luma + chroma, colour.u);
  std::fill(picture.begin() + luma + chroma, picture.end(), colour.v);
  return picture;
}

int Draw(IPopupDrawer* drawer, int width, int height, Yuv colour) {
  auto picture = SolidYuv(width, height, colour);
  return drawer->Draw("ch", 0.0, picture.data(), static_cast<long>(picture.size()), width, height,
                      PIX_FMT_YUV420P, 0, 0);
}

bool Near(uint32_t argb, uint32_t expected) {
  for (int shift = 0; shift < 24; shift += 8) {
    const int a = (argb >> shift) & 0xFF;
    const int b = (expected >> shift) & 0xFF;
    if (std::abs(a - b) > 4)
      return false;
  }
  return true;
}

struct Snapshot {
  std::vector<uint32_t> pixels;
  int width = 0;
  int height = 0;
  uint32_t Centre() const { return pixels[(height / 2) * width + width / 2]; }
};

Snapshot Read(CPopupDrawer* drawer) {
  Snapshot shot;
  EXPECT_TRUE(drawer->ReadPixelsForTesting(&shot.pixels, &shot.width, &shot.height));
  return shot;
}

class PopupDrawerTest : public testing::Test {
 protected:
  // SDL's headless driver, asked for by name, stands in for a display.
  ScopedEnv m_driver{"SDL_VIDEODRIVER", "offscreen"};
};

TEST_F(PopupDrawerTest, WindowShowsTheNewestPictureAtItsSize) {
  CPopupDrawer* drawer = CPopupDrawer::Create("cam1 -- 本地解码预览", 10, 20);
  ASSERT_NE(drawer, nullptr);
  EXPECT_EQ(drawer->GetTitleForTesting(), "cam1 -- 本地解码预览");
  Snapshot empty = Read(drawer);
  ASSERT_FALSE(empty.pixels.empty());
  EXPECT_TRUE(Near(empty.Centre(), 0xFF000000)) << std::hex << empty.Centre();

  ASSERT_EQ(Draw(drawer, 64, 48, kMagenta), 1);
  Snapshot magenta = Read(drawer);
  EXPECT_EQ(magenta.width, 64);
  EXPECT_EQ(magenta.height, 48);
  EXPECT_TRUE(Near(magenta.Centre(), 0xFFFF00FF)) << std::hex << magenta.Centre();

  // A new size (odd, too) replaces the picture and the window follows it.
  ASSERT_EQ(Draw(drawer, 33, 25, kGreen), 1);
  Snapshot green = Read(drawer);
  EXPECT_EQ(green.width, 33);
  EXPECT_EQ(green.height, 25);
  EXPECT_TRUE(Near(green.Centre(), 0xFF00FF00)) << std::hex << green.Centre();
  EXPECT_TRUE(Near(green.pixels[0], 0xFF00FF00)) << std::hex << green.pixels[0];

  // Pictures it cannot show are refused, and the last one stays.
  auto picture = SolidYuv(64, 48, kMagenta);
  const long size = static_cast<long>(picture.size());
  EXPECT_EQ(drawer->Draw("ch", 0, picture.data(), size, 64, 48, PIX_FMT_BGR24, 0, 0), 0);
  EXPECT_EQ(drawer->Draw("ch", 0, picture.data(), size - 1, 64, 48, PIX_FMT_YUV420P, 0, 0), 0);
  EXPECT_EQ(drawer->Draw("ch", 0, nullptr, size, 64, 48, PIX_FMT_YUV420P, 0, 0), 0);
  EXPECT_EQ(drawer->Draw("ch", 0, picture.data(), size, 0, 48, PIX_FMT_YUV420P, 0, 0), 0);
  EXPECT_TRUE(Near(Read(drawer).Centre(), 0xFF00FF00));
  drawer->Release();
}

TEST_F(PopupDrawerTest, SeveralWindowsDrawnFromSeveralThreadsKeepTheirOwnPictures) {
  CPopupDrawer* first = CPopupDrawer::Create("first", -1, -1);
  CPopupDrawer* second = CPopupDrawer::Create("second", -1, -1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  std::thread a([first] {
    for (int i = 0; i < 200; ++i)
      Draw(first, 64, 48, i % 2 ? kMagenta : kGreen);
  });
  std::thread b([second] {
    for (int i = 0; i < 200; ++i)
      Draw(second, 48, 32, i % 2 ? kGreen : kMagenta);
  });
  a.join();
  b.join();
  // The last picture of each thread is the one its window shows.
  EXPECT_TRUE(Near(Read(first).Centre(), 0xFFFF00FF));
  EXPECT_TRUE(Near(Read(second).Centre(), 0xFF00FF00));

  first->Release();
  ASSERT_EQ(Draw(second, 48, 32, kMagenta), 1);
  EXPECT_TRUE(Near(Read(second).Centre(), 0xFFFF00FF));
  second->Release();

  // With every window gone SDL has stopped; the next window starts it again.
  CPopupDrawer* again = CPopupDrawer::Create("again", -1, -1);
  ASSERT_NE(again, nullptr);
  ASSERT_EQ(Draw(again, 16, 16, kGreen), 1);
  EXPECT_TRUE(Near(Read(again).Centre(), 0xFF00FF00));
  EXPECT_EQ(again->AddRef(), 2);
  EXPECT_EQ(again->Release(), 1);
  again->Release();
}

TEST(PopupDrawerNoDisplayTest, WithoutADisplayTheDrawerStaysNull) {
  IPopupDrawer* drawer = reinterpret_cast<IPopupDrawer*>(0x1);
  {
    ScopedEnv driver("SDL_VIDEODRIVER", "no-such-driver");
    EXPECT_EQ(CreatePopupDrawer("none", &drawer, -1, -1), 0);
    EXPECT_EQ(drawer, nullptr);
  }
  {
    // No display named anywhere: SDL would fall back to its offscreen driver by itself,
    // which shows nothing to anyone.
    ScopedEnv driver("SDL_VIDEODRIVER", nullptr);
    ScopedEnv x11("DISPLAY", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    drawer = reinterpret_cast<IPopupDrawer*>(0x1);
    const int result = CreatePopupDrawer("none", &drawer, -1, -1);
    EXPECT_EQ(result, drawer != nullptr ? 1 : 0);
    if (drawer != nullptr) {
      drawer->Release();
      // Only a console with its own graphics device (KMS) is a display without X or Wayland.
      EXPECT_EQ(access("/dev/dri", F_OK), 0) << "a window opened without any display";
    }
  }
  EXPECT_EQ(CreatePopupDrawer("none", nullptr, -1, -1), 0);
}

}  // namespace
