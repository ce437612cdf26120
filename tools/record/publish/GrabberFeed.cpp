#include "tools/record/publish/GrabberFeed.h"

#include <cstdint>

namespace sorvo::tools {

void GrabberFeed::Look(const TapBuffer& buffer) {
  if (m_channels == 0) {
    if (buffer.pixelFormat == PIX_FMT_YUV420P)
      m_input.OnPicture(buffer.time, buffer.data, static_cast<size_t>(buffer.length), buffer.width,
                        buffer.height);
    return;
  }
  const long frameBytes = static_cast<long>(sizeof(int16_t)) * m_channels;
  m_input.OnSound(buffer.time, reinterpret_cast<const int16_t*>(buffer.data),
                  static_cast<int>(buffer.length / frameBytes));
}

}  // namespace sorvo::tools
