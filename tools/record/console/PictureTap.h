// Where the console sees the recording's pictures: a receiver put between a camera's feeder
// and its sink (it hands every picture on first, then offers it to the console), or set as
// the director sink's grabber target (nothing to hand on). Offering costs a counter and a
// flag check unless a page watches the tile and a thumbnail is due. Between a feeder and a
// sink it lends the sink's buffers too; a picture written into one is offered before it
// goes back, since once back it is the sink's to encode and reuse.
//
// Threads: Look on the capture threads; the rest on the owner's thread before pictures
// flow. The slot outlives the tap's use.
#pragma once

#include <functional>

#include "tools/record/ForwardingTap.h"
#include "tools/record/PictureLender.h"
#include "tools/record/console/ThumbnailSlot.h"

namespace sorvo::tools {

class PictureTap : public ForwardingTap, public PictureLender {
 public:
  using Clock = ThumbnailSlot::Clock;
  // `copied` runs after a picture was copied for a thumbnail, `first` after the first
  // picture since the slot was armed; both on the capture thread, and must not block.
  // `lender`, where given, lends what `next` records.
  PictureTap(ThumbnailSlot* slot,
             IGrabberCallBack* next,
             PictureLender* lender,
             std::function<Clock::time_point()> clock,
             std::function<void()> copied,
             std::function<void()> first);

  unsigned char* LendBuffer(long* capacity) override;
  int ReturnBuffer(unsigned char* buffer,
                   int id,
                   double time,
                   long length,
                   int width,
                   int height,
                   PixelFormat pixelFormat) override;

 protected:
  void Look(const TapBuffer& buffer) override;

 private:
  ThumbnailSlot* m_slot;
  PictureLender* const m_lender;  // may be null
  std::function<Clock::time_point()> m_clock;
  std::function<void()> m_copied;
  std::function<void()> m_first;
};

}  // namespace sorvo::tools
