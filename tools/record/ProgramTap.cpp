#include "tools/record/ProgramTap.h"

#include <algorithm>

namespace sorvo::tools {

void ProgramTap::Add(IGrabberCallBack* receiver) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_receivers.push_back(receiver);
}

void ProgramTap::Remove(IGrabberCallBack* receiver) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_receivers.erase(std::remove(m_receivers.begin(), m_receivers.end(), receiver),
                    m_receivers.end());
}

int ProgramTap::OnBuffer(int id,
                         double time,
                         unsigned char* data,
                         long length,
                         int width,
                         int height,
                         PixelFormat pixelFormat) {
  std::lock_guard<std::mutex> hold(m_lock);
  int result = 0;
  for (size_t i = 0; i < m_receivers.size(); ++i) {
    const int one = m_receivers[i]->OnBuffer(id, time, data, length, width, height, pixelFormat);
    if (i == 0)
      result = one;
  }
  return result;
}

}  // namespace sorvo::tools
