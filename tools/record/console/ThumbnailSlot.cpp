#include "tools/record/console/ThumbnailSlot.h"

#include <cstring>
#include <utility>

namespace sorvo::tools {

ThumbnailSlot::Offered ThumbnailSlot::Offer(const unsigned char* data,
                                            long length,
                                            int width,
                                            int height,
                                            PixelFormat format,
                                            Clock::time_point now) {
  Offered offered;
  m_pictures.fetch_add(1, std::memory_order_relaxed);
  m_width.store(width, std::memory_order_relaxed);
  m_height.store(height, std::memory_order_relaxed);
  if (m_awaitFirst.load(std::memory_order_relaxed))
    offered.first = m_awaitFirst.exchange(false);
  if (!m_wanted.load(std::memory_order_relaxed) || data == nullptr || length <= 0)
    return offered;
  const Clock::rep at = now.time_since_epoch().count();
  const Clock::rep due = m_nextDue.load(std::memory_order_relaxed);
  if (at < due)
    return offered;
  std::unique_lock<std::mutex> hold(m_lock, std::try_to_lock);
  if (!hold.owns_lock())
    return offered;
  m_picture.data.resize(static_cast<size_t>(length) + kScaleReadPadding);
  std::memcpy(m_picture.data.data(), data, static_cast<size_t>(length));
  m_picture.width = width;
  m_picture.height = height;
  m_picture.format = format;
  m_fresh = true;
  // On a grid of periods while pictures keep coming, so that the rate is the period's and
  // not rounded down to whole picture intervals; afresh after a pause.
  const Clock::rep period =
      m_fullRate.load(std::memory_order_relaxed) ? Clock::rep(0) : m_period.count();
  m_nextDue.store(at - due < period ? due + period : at + period, std::memory_order_relaxed);
  offered.copied = true;
  return offered;
}

bool ThumbnailSlot::Take(RawPicture* into) {
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_fresh)
    return false;
  std::swap(m_picture.data, into->data);
  into->width = m_picture.width;
  into->height = m_picture.height;
  into->format = m_picture.format;
  m_fresh = false;
  return true;
}

}  // namespace sorvo::tools
