// The preview window as it appears on a real X server (run under Xvfb): found by its title,
// its pixels read back from the server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "EncodedClip.h"
#include "preview/CDecodePreview.h"
#include "preview/PreviewPlacement.h"

// Last: Xlib defines macros that clash with the headers above.
#include "common/XServerWindows.h"

namespace {

using sorvo::test::Bytes;
using sorvo::test::Rgb;
using sorvo::test::XServer;

bool Near(const Rgb& a, const Rgb& b) {
  return std::abs(a.red - b.red) <= 8 && std::abs(a.green - b.green) <= 8 &&
         std::abs(a.blue - b.blue) <= 8;
}

// Polls the server until the window titled `title` shows `colour`; the server draws
// asynchronously, and the deadline only stops a broken run.
bool WaitForColour(XServer& server,
                   const std::string& title,
                   const Rgb& colour,
                   std::optional<Rgb>* seen) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::optional<Window> window = server.FindWindow(title)) {
      *seen = server.CentreColour(*window);
      if (*seen && Near(**seen, colour))
        return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void Feed(CDecodePreview& preview, const std::vector<Bytes>& packets) {
  for (const Bytes& packet : packets)
    preview.Push(0, const_cast<unsigned char*>(packet.data()), 0, 0, PIX_FMT_NONE, 0,
                 static_cast<long>(packet.size()));
}

TEST(PreviewWindowTest, TwoPreviewsShowTheirPicturesInTitledWindowsOnTheXServer) {
  XServer server;
  ASSERT_TRUE(server.Connected()) << "no X server: run under xvfb-run";

  const Rgb orange{240, 120, 20};
  const Rgb teal{20, 160, 170};
  const Bytes orangePicture =
      sorvo::test::SolidBgrPicture(320, 240, orange.red, orange.green, orange.blue);
  const Bytes tealPicture = sorvo::test::SolidBgrPicture(160, 120, teal.red, teal.green, teal.blue);
  auto orangePackets =
      sorvo::test::EncodePictures(320, 240, PIX_FMT_BGR24, {orangePicture, orangePicture});
  auto tealPackets = sorvo::test::EncodePictures(160, 120, PIX_FMT_BGR24, {tealPicture});
  ASSERT_FALSE(orangePackets.empty());
  ASSERT_FALSE(tealPackets.empty());

  auto first = std::make_unique<CDecodePreview>();
  CDecodePreview second;
  first->StartPreview("cam1", static_cast<int>(orangePicture.size()));
  second.StartPreview("cam2", static_cast<int>(tealPicture.size()));
  Feed(*first, orangePackets);
  Feed(second, tealPackets);

  std::optional<Rgb> seen;
  EXPECT_TRUE(WaitForColour(server, "cam1 -- 本地解码预览", orange, &seen))
      << (seen ? std::to_string(seen->red) + "," + std::to_string(seen->green) + "," +
                     std::to_string(seen->blue)
               : std::string("no window"));
  EXPECT_TRUE(WaitForColour(server, "cam2 -- 本地解码预览", teal, &seen));

  // Deleting a preview closes its window; the other one stays.
  first.reset();
  EXPECT_FALSE(server.FindWindow("cam1 -- 本地解码预览"));
  EXPECT_TRUE(server.FindWindow("cam2 -- 本地解码预览"));
}

// A host that places its previews gets each window where it asked, the picture within the
// size it gave: several previews side by side instead of one on top of the other.
TEST(PreviewWindowTest, PlacedPreviewsOpenWhereTheHostPutThemWithinTheirSize) {
  XServer server;
  ASSERT_TRUE(server.Connected()) << "no X server: run under xvfb-run";
  const Bytes picture = sorvo::test::SolidBgrPicture(320, 240, 200, 40, 40);
  auto packets = sorvo::test::EncodePictures(320, 240, PIX_FMT_BGR24, {picture});
  ASSERT_FALSE(packets.empty());

  SorvoSetPreviewPlacement("left", 0, 0, 160, 160);
  SorvoSetPreviewPlacement("right", 400, 300, 0, 0);
  CDecodePreview left;
  CDecodePreview right;
  left.StartPreview("left", static_cast<int>(picture.size()));
  right.StartPreview("right", static_cast<int>(picture.size()));
  SorvoSetPreviewPlacement(nullptr, 0, 0, 0, 0);
  Feed(left, packets);
  Feed(right, packets);

  std::optional<Rgb> seen;
  ASSERT_TRUE(WaitForColour(server, "left -- 本地解码预览", {200, 40, 40}, &seen));
  ASSERT_TRUE(WaitForColour(server, "right -- 本地解码预览", {200, 40, 40}, &seen));
  // The windows take their pictures' shape once the first picture is drawn.
  auto expectPlace = [&](const std::string& title, int x, int y, int width, int height) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::optional<XServer::Geometry> found;
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::optional<Window> window = server.FindWindow(title))
        found = server.GeometryOf(*window);
      if (found && found->width == width && found->height == height)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(found) << title;
    EXPECT_EQ(std::make_tuple(found->x, found->y, found->width, found->height),
              std::make_tuple(x, y, width, height))
        << title;
  };
  expectPlace("left -- 本地解码预览", 0, 0, 160, 120);
  expectPlace("right -- 本地解码预览", 400, 300, 320, 240);
}

}  // namespace
