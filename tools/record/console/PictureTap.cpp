#include "tools/record/console/PictureTap.h"

namespace sorvo::tools {

PictureTap::PictureTap(ThumbnailSlot* slot,
                       IGrabberCallBack* next,
                       std::function<Clock::time_point()> clock,
                       std::function<void()> copied,
                       std::function<void()> first)
    : ForwardingTap(next),
      m_slot(slot),
      m_clock(std::move(clock)),
      m_copied(std::move(copied)),
      m_first(std::move(first)) {}

void PictureTap::Look(const TapBuffer& buffer) {
  // The clock is read only when a thumbnail may be wanted.
  const Clock::time_point now = m_slot->wanted() ? m_clock() : Clock::time_point();
  const ThumbnailSlot::Offered offered = m_slot->Offer(buffer.data, buffer.length, buffer.width,
                                                       buffer.height, buffer.pixelFormat, now);
  if (offered.copied)
    m_copied();
  if (offered.first)
    m_first();
}

}  // namespace sorvo::tools
