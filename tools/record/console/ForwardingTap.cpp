#include "tools/record/console/ForwardingTap.h"

namespace sorvo::tools {

int ForwardingTap::OnBuffer(int id,
                            double time,
                            unsigned char* data,
                            long length,
                            int width,
                            int height,
                            PixelFormat pixelFormat) {
  const int taken =
      m_next != nullptr ? m_next->OnBuffer(id, time, data, length, width, height, pixelFormat) : 1;
  if (data != nullptr && length > 0)
    Look(data, length, width, height, pixelFormat);
  return taken;
}

}  // namespace sorvo::tools
