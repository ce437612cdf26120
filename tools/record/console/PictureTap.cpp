#include "tools/record/console/PictureTap.h"

namespace sorvo::tools {

PictureTap::PictureTap(ThumbnailSlot* slot,
                       IGrabberCallBack* next,
                       PictureLender* lender,
                       std::function<Clock::time_point()> clock,
                       std::function<void()> copied,
                       std::function<void()> first)
    : ForwardingTap(next),
      m_slot(slot),
      m_lender(lender),
      m_clock(std::move(clock)),
      m_copied(std::move(copied)),
      m_first(std::move(first)) {}

unsigned char* PictureTap::LendBuffer(long* capacity) {
  if (m_lender != nullptr)
    return m_lender->LendBuffer(capacity);
  *capacity = 0;
  return nullptr;
}

int PictureTap::ReturnBuffer(unsigned char* buffer,
                             int id,
                             double time,
                             long length,
                             int width,
                             int height,
                             PixelFormat pixelFormat) {
  if (buffer != nullptr && length > 0)
    Look({time, buffer, length, width, height, pixelFormat});
  return m_lender->ReturnBuffer(buffer, id, time, length, width, height, pixelFormat);
}

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
