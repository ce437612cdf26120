// Where the console sees the recording's pictures: a receiver put between a camera's feeder
// and its sink (it hands every picture on first, then offers it to the console), or set as
// the director sink's grabber target (nothing to hand on). Offering costs a counter and a
// flag check unless a page watches the tile and a thumbnail is due.
//
// Threads: Look on the capture threads; the rest on the owner's thread before pictures
// flow. The slot outlives the tap's use.
#pragma once

#include <functional>

#include "tools/record/ForwardingTap.h"
#include "tools/record/console/ThumbnailSlot.h"

namespace sorvo::tools {

class PictureTap : public ForwardingTap {
 public:
  using Clock = ThumbnailSlot::Clock;
  // `copied` runs after a picture was copied for a thumbnail, `first` after the first
  // picture since the slot was armed; both on the capture thread, and must not block.
  PictureTap(ThumbnailSlot* slot,
             IGrabberCallBack* next,
             std::function<Clock::time_point()> clock,
             std::function<void()> copied,
             std::function<void()> first);

 protected:
  void Look(const TapBuffer& buffer) override;

 private:
  ThumbnailSlot* m_slot;
  std::function<Clock::time_point()> m_clock;
  std::function<void()> m_copied;
  std::function<void()> m_first;
};

}  // namespace sorvo::tools
