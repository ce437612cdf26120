// The utility library's ScaleRect: where a picture of width x height goes inside `area`.
#pragma once

#include "host/Win32Types.h"

// The largest rectangle of the source's aspect ratio centred in `area`, in the area's
// coordinates. An empty source or area gives `area` itself. `mode` is accepted for the
// host's signature; the module passes 0.
CRect ScaleRect(CRect area, int width, int height, int mode);
