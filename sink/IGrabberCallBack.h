// Receiver of raw camera pictures. Called on the host's capture thread.
#pragma once

#include "host/PixelFormat.h"
#include "host/SorvoExport.h"

class SORVO_EXPORT IGrabberCallBack {
 public:
  // One picture of `length` bytes; `id` names the camera, `time` is the capture time.
  virtual int OnBuffer(int id, double time, unsigned char* data, long length, int width,
                       int height, PixelFormat pixelFormat) = 0;
  // Keeps its place in the interface; nothing in the system calls it.
  virtual int Reserved(int /*value*/) { return 0; }

 protected:
  virtual ~IGrabberCallBack() = default;
};
