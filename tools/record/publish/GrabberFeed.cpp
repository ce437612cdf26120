#include "tools/record/publish/GrabberFeed.h"

#include <cstdint>

namespace sorvo::tools {

int GrabberFeed::OnBuffer(int /*id*/,
                          double time,
                          unsigned char* data,
                          long length,
                          int width,
                          int height,
                          PixelFormat pixelFormat) {
  if (data == nullptr || length <= 0)
    return 0;
  if (m_channels == 0) {
    if (pixelFormat != PIX_FMT_YUV420P)
      return 0;
    m_input.OnPicture(time, data, static_cast<size_t>(length), width, height);
    return 1;
  }
  const long frameBytes = static_cast<long>(sizeof(int16_t)) * m_channels;
  m_input.OnSound(time, reinterpret_cast<const int16_t*>(data),
                  static_cast<int>(length / frameBytes));
  return 1;
}

}  // namespace sorvo::tools
