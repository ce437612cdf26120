// Where the recorder's preview windows go: whether a window can open at all (a display
// answers), and a tile of the screen for each window, so that they open side by side.
//
// FindPreviewScreen starts and stops SDL's video on the calling thread: call it on the
// control thread before any sink with a preview exists (the library drives SDL from a
// thread of its own once windows are open).
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct ScreenArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct PreviewScreen {
  bool available = false;
  std::string why;  // why no window can open, when none can
  ScreenArea usable;  // the part of the first screen windows may take
};

PreviewScreen FindPreviewScreen();

// `count` tiles of equal size filling `area`, in rows of as many columns as a square
// arrangement needs, left to right and top to bottom.
std::vector<ScreenArea> TileScreen(const ScreenArea& area, int count);

}  // namespace sorvo::tools
