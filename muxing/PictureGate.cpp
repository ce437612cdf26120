#include "muxing/PictureGate.h"

namespace sorvo {

bool PictureGate::Enter() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (m_bClosed)
    return false;
  ++m_nInside;
  return true;
}

void PictureGate::Leave() {
  std::lock_guard<std::mutex> hold(m_lock);
  if (--m_nInside == 0 && m_bClosed)
    m_left.notify_all();
}

void PictureGate::Close() {
  std::unique_lock<std::mutex> hold(m_lock);
  m_bClosed = true;
  m_left.wait(hold, [this] { return m_nInside == 0; });
}

void PictureGate::Open() {
  std::lock_guard<std::mutex> hold(m_lock);
  m_bClosed = false;
}

}  // namespace sorvo
