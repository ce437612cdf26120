#include "tools/record/publish/GrabberFeed.h"

#include <cstdint>

namespace sorvo::tools {

void GrabberFeed::Look(double time,
                       const unsigned char* data,
                       long length,
                       int width,
                       int height,
                       PixelFormat pixelFormat) {
  if (m_channels == 0) {
    if (pixelFormat == PIX_FMT_YUV420P)
      m_input.OnPicture(time, data, static_cast<size_t>(length), width, height);
    return;
  }
  const long frameBytes = static_cast<long>(sizeof(int16_t)) * m_channels;
  m_input.OnSound(time, reinterpret_cast<const int16_t*>(data),
                  static_cast<int>(length / frameBytes));
}

}  // namespace sorvo::tools
