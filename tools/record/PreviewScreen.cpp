#include "tools/record/PreviewScreen.h"

#include <SDL.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace sorvo::tools {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void StopVideo() {
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  if (SDL_WasInit(0) == 0) SDL_Quit();
}

}  // namespace

PreviewScreen FindPreviewScreen() {
  PreviewScreen screen;
  const std::string driver = Environment("SDL_VIDEODRIVER");
  const std::string x11 = Environment("DISPLAY");
  const std::string wayland = Environment("WAYLAND_DISPLAY");
  if (driver.empty() && x11.empty() && wayland.empty()) {
    screen.why = "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return screen;
  }
  // Without a Wayland display SDL would still try one and its library would print errors of
  // its own; the hint holds for the library's windows too.
  if (driver.empty() && wayland.empty()) SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  const std::string named = !x11.empty() ? " DISPLAY=" + x11 : " WAYLAND_DISPLAY=" + wayland;
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    screen.why = "no display answered at" + named + " (" + SDL_GetError() + ")";
    StopVideo();
    return screen;
  }
  // SDL falls back to drivers that show nothing to anyone; they count only when asked for.
  const char* current = SDL_GetCurrentVideoDriver();
  if (current == nullptr ||
      ((std::strcmp(current, "offscreen") == 0 || std::strcmp(current, "dummy") == 0) &&
       driver.find(current) == std::string::npos)) {
    screen.why = "no display answered at" + named;
    StopVideo();
    return screen;
  }
  SDL_Rect area{0, 0, 0, 0};
  if (SDL_GetDisplayUsableBounds(0, &area) != 0 || area.w <= 0 || area.h <= 0)
    SDL_GetDisplayBounds(0, &area);
  StopVideo();
  screen.available = true;
  screen.usable = {area.x, area.y, area.w > 0 ? area.w : 1280, area.h > 0 ? area.h : 720};
  return screen;
}

std::vector<ScreenArea> TileScreen(const ScreenArea& area, int count) {
  std::vector<ScreenArea> tiles;
  if (count <= 0) return tiles;
  const int columns = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
  const int rows = (count + columns - 1) / columns;
  const int width = area.width / columns;
  const int height = area.height / rows;
  for (int i = 0; i < count; ++i)
    tiles.push_back({area.x + (i % columns) * width, area.y + (i / columns) * height, width,
                     height});
  return tiles;
}

}  // namespace sorvo::tools
