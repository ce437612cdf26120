// The windows of a real X server (Xvfb in the tests), as a user sees them: found by their
// title, with their place on the screen and the colours the server holds. Include it last:
// Xlib defines macros (None, Bool, Status) that clash with other headers.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace sorvo::test {

struct Rgb {
  int red, green, blue;
};

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};

class XServer {
 public:
  XServer() : m_display(XOpenDisplay(nullptr)) {}
  bool Connected() const { return m_display != nullptr; }
  Display* display() const { return m_display.get(); }

  // The viewable top-level window whose UTF-8 title is `title`.
  std::optional<Window> FindWindow(const std::string& title) {
    std::optional<Window> found;
    Window root = DefaultRootWindow(m_display.get());
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(m_display.get(), root, &root, &parent, &children, &count))
      return found;
    for (unsigned int i = 0; i < count && !found; ++i) {
      XWindowAttributes attributes;
      if (XGetWindowAttributes(m_display.get(), children[i], &attributes) &&
          attributes.map_state == IsViewable && Title(children[i]) == title)
        found = children[i];
    }
    if (children != nullptr)
      XFree(children);
    return found;
  }

  // The window's place on the screen and its size, as the server holds them.
  struct Geometry {
    int x, y, width, height;
  };
  std::optional<Geometry> GeometryOf(Window window) {
    XWindowAttributes attributes;
    Window child = 0;
    int x = 0, y = 0;
    if (!XGetWindowAttributes(m_display.get(), window, &attributes) ||
        !XTranslateCoordinates(m_display.get(), window, DefaultRootWindow(m_display.get()), 0, 0,
                               &x, &y, &child))
      return std::nullopt;
    return Geometry{x, y, attributes.width, attributes.height};
  }

  // The colour at the window's centre, as the server holds it.
  std::optional<Rgb> CentreColour(Window window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(m_display.get(), window, &attributes))
      return std::nullopt;
    XImage* image = XGetImage(m_display.get(), window, attributes.width / 2, attributes.height / 2,
                              1, 1, AllPlanes, ZPixmap);
    if (image == nullptr)
      return std::nullopt;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    const Rgb colour{Channel(pixel, image->red_mask), Channel(pixel, image->green_mask),
                     Channel(pixel, image->blue_mask)};
    XDestroyImage(image);
    return colour;
  }

 private:
  std::string Title(Window window) {
    Atom name = XInternAtom(m_display.get(), "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(m_display.get(), "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* value = nullptr;
    std::string title;
    if (XGetWindowProperty(m_display.get(), window, name, 0, 1024, False, utf8, &type, &format,
                           &items, &after, &value) == Success &&
        value != nullptr) {
      title.assign(reinterpret_cast<char*>(value), items);
      XFree(value);
    }
    return title;
  }

  static int Channel(unsigned long pixel, unsigned long mask) {
    int shift = 0;
    while (mask != 0 && (mask & 1) == 0) {
      mask >>= 1;
      ++shift;
    }
    return mask != 0 ? static_cast<int>(((pixel >> shift) & mask) * 255 / mask) : 0;
  }

  std::unique_ptr<Display, DisplayCloser> m_display;
};

}  // namespace sorvo::test
