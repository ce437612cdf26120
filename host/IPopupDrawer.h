// The drawing library: a pop-up window that shows YUV 4:2:0 pictures.
#pragma once

#include "host/IUnknown.h"
#include "host/PixelFormat.h"

class SORVO_EXPORT IPopupDrawer : public IUnknown {
 public:
  // Copies the picture for display and returns at once. `channel` names the stream;
  // `time` and the two trailing ints are accepted and unused.
  virtual int Draw(const char* channel, double time, unsigned char* data, long size, int width,
                   int height, PixelFormat format, int reserved1, int reserved2) = 0;
};

// Opens a window titled `title` on a UI thread of its own. `*drawer` is null where the
// window cannot be made. `x` and `y` place the window; -1 lets the system choose.
SORVO_EXPORT int CreatePopupDrawer(const char* title, IPopupDrawer** drawer, int x, int y);
