// A tap that remembers when its first buffer came: where a file that records everything it
// hands on begins on the session's clock (the sound's WAV file has no times of its own).
//
// Threads: Look on the delivering thread, which alone writes the origin, once, before it
// publishes it; GetOrigin on any thread.
#pragma once

#include <atomic>

#include "tools/record/ForwardingTap.h"

namespace sorvo::tools {

class OriginTap : public ForwardingTap {
 public:
  using ForwardingTap::ForwardingTap;

  // The capture time of the first buffer; false before one came.
  bool GetOrigin(double* origin) const {
    if (!m_hasOrigin.load(std::memory_order_acquire))
      return false;
    *origin = m_origin;
    return true;
  }

 protected:
  void Look(const TapBuffer& buffer) override {
    if (m_hasOrigin.load(std::memory_order_relaxed))
      return;
    m_origin = buffer.time;
    m_hasOrigin.store(true, std::memory_order_release);
  }

 private:
  double m_origin = 0;  // written once by the delivering thread before m_hasOrigin
  std::atomic<bool> m_hasOrigin{false};
};

}  // namespace sorvo::tools
