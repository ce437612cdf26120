// The library's audio sink, telling how many clients its server has and where on the
// session's clock its WAV file begins: the sink's own interface says neither, but a derived
// class may look at its server and at the buffers it is given.
//
// Threads: as CAudioSinkFF; clients() on the control thread, like Create and Close. OnBuffer
// runs on the audio thread and sets the origin once; GetOrigin reads it on any thread.
#pragma once

#include <sorvo/sorvo.h>

#include <atomic>

namespace sorvo::tools {

class ServedAudioSink : public CAudioSinkFF {
 public:
  // Clients connected to the sink's server now; 0 without a server or after Close.
  int clients() {
    ITransferServer* server = GetTransferServer();
    return server != nullptr ? server->GetClientCount() : 0;
  }
  // The session time of the first buffer, whose first sample is the WAV file's first;
  // false before any buffer came.
  bool GetOrigin(double* origin) const {
    if (!m_hasOrigin.load(std::memory_order_acquire))
      return false;
    *origin = m_origin;
    return true;
  }

 protected:
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat pixelFormat) override {
    // Only the audio thread writes, and only before it publishes the flag.
    if (!m_hasOrigin.load(std::memory_order_relaxed) && length > 0) {
      m_origin = time;
      m_hasOrigin.store(true, std::memory_order_release);
    }
    return CAudioSinkFF::OnBuffer(id, time, data, length, width, height, pixelFormat);
  }

 private:
  double m_origin = 0;  // written once by the audio thread before m_hasOrigin
  std::atomic<bool> m_hasOrigin{false};
};

}  // namespace sorvo::tools
