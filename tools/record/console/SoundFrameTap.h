// Where the console hears the program's sound as it is encoded: put between the audio
// sink's packet counter and the muxing controller, it hands every packet on first, then,
// while someone listens, copies it for the network thread. Costs a flag check otherwise.
//
// Threads: OnEncodeData on the audio sink's thread; the wanted flag is the network
// thread's to set. Made before packets flow; outlives the audio sink's use of it.
#pragma once

#include <sorvo/sorvo.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/packet.h>
}

namespace sorvo::tools {

class SoundFrameTap : public ISorvoData {
 public:
  using Post = std::function<void(std::shared_ptr<const std::string> frame)>;
  SoundFrameTap(ISorvoData* next, const std::atomic<bool>& wanted, Post post)
      : m_next(next), m_wanted(wanted), m_post(std::move(post)) {}

  int OnEncodeData(int id, AVPacket* packet) override {
    const int taken = m_next != nullptr ? m_next->OnEncodeData(id, packet) : 1;
    if (packet != nullptr && packet->size > 0 && m_wanted.load(std::memory_order_relaxed))
      m_post(std::make_shared<const std::string>(reinterpret_cast<const char*>(packet->data),
                                                 static_cast<size_t>(packet->size)));
    return taken;
  }

 private:
  ISorvoData* const m_next;
  const std::atomic<bool>& m_wanted;
  const Post m_post;
};

}  // namespace sorvo::tools
