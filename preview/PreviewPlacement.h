// Where a sink's preview window opens: a host showing several previews places each one, so
// that they do not all open at the same spot.
#pragma once

#include <string>

#include "host/SorvoExport.h"

// Places the preview window of the sink named `name` (the name given to CreateSorvo, or to
// CreateSingleMux for the director's sink) for previews started from now on: its top-left
// corner at (x, y) on the screen, and the picture shown within width x height (0 for either:
// no bound beyond the screen's). A later call for the same name replaces the place; a null
// name forgets every place. A sink without a place gets a window where the system puts it.
// Any thread.
SORVO_EXPORT void SorvoSetPreviewPlacement(const char* name, int x, int y, int width, int height);

namespace sorvo {

struct PreviewPlace {
  int x = -1;  // -1: where the system puts it
  int y = -1;
  int width = 0;  // 0: no bound
  int height = 0;
};

// The place set for the sink named `name`, or the system's choice.
PreviewPlace PreviewPlaceOf(const std::string& name);

}  // namespace sorvo
