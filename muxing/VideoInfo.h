// Description of one uncompressed video stream, and the camera and zoom enumerations.
#pragma once

#include <cstdint>

#include "host/PixelFormat.h"

struct VideoInfo {
  int32_t width = 0;
  int32_t height = 0;
  int32_t pixelFormat = PIX_FMT_NONE;
  int32_t imageSize = 0;  // bytes of one picture
  int32_t frameRate = 0;  // pictures per second
  int32_t reserved = 0;   // kept in its place; nothing reads or writes it
};
static_assert(sizeof(VideoInfo) == 24, "VideoInfo is six 32-bit integers");

// Camera ids inside the muxing controller: 0 to 8 for cameras, 9 for none, 100 for the
// controller's director sink. The enumerations are int-based so that any int a host passes
// is a valid value to be checked and refused, not undefined behaviour.
enum EnumCameraType : int {
  CAMERA_0 = 0,
  CAMERA_1 = 1,
  CAMERA_2 = 2,
  CAMERA_3 = 3,
  CAMERA_4 = 4,
  CAMERA_5 = 5,
  CAMERA_6 = 6,
  CAMERA_7 = 7,
  CAMERA_8 = 8,
  CAMERA_NONE = 9,
  CAMERA_DIRECTOR = 100,
};

// How the controller fits a camera picture to the director size.
enum EnumZoomOption : int {
  ZOOM_STRETCH = 0,    // stretch to the director size
  ZOOM_LETTERBOX = 1,  // keep the aspect ratio, fill the borders with a colour
};
