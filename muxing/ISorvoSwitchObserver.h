// Told of every camera switch of a muxing controller's director as it takes effect.
#pragma once

#include "host/SorvoExport.h"

class SORVO_EXPORT ISorvoSwitchObserver {
 public:
  // Camera `camera` is shown by the director from the picture at capture time `time` on:
  // the moment on the director's frame-rate grid where its file first shows that camera.
  // Runs on the capture thread that delivered the camera's picture, with the controller's
  // picture lock held: it must return quickly and must not call back into the controller.
  virtual void OnCameraSwitch(int camera, double time) = 0;

 protected:
  virtual ~ISorvoSwitchObserver() = default;
};
