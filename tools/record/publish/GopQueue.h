// The packets waiting for one destination. Bounded: when what waits spans more than
// `maxSeconds` of the program, or more than `maxBytes`, the oldest GOP goes whole (from
// the front up to the next key frame, the sound within it too), so that what is sent
// always starts at a key frame and the destination stays close to live. While the one GOP
// it holds is too long by itself, it goes, and new packets with it up to the next key
// frame.
//
// A destination that (re)connects starts at the newest key frame it holds; without one, at
// the next that comes.
//
// Threads: Push on the encoding thread, Pop and StartAtKey on the destination's thread,
// Close, DropAll and the counters on any; m_lock guards everything.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "tools/record/publish/EncodedPacket.h"

namespace sorvo::tools {

class GopQueue {
 public:
  struct Dropped {
    long long gops = 0;      // GOPs that lost pictures
    long long pictures = 0;  // the sound within them goes too
    double seconds = 0;      // of pictures
  };

  GopQueue(double maxSeconds, size_t maxBytes) : m_maxSeconds(maxSeconds), m_maxBytes(maxBytes) {}

  // Never waits.
  void Push(SharedPacket packet);
  // Waits up to `wait` for a packet; null when none came, or when closed and empty.
  SharedPacket Pop(std::chrono::milliseconds wait);
  // Drops what comes before the newest key frame it holds (everything, and what comes up
  // to the next key frame, when it holds none).
  void StartAtKey();
  // No more packets will come: Pop returns what is left, then null at once.
  void Close();
  // Drops what is left: the end came and it cannot be sent.
  void DropAll();

  bool closedAndEmpty() const;
  Dropped dropped() const;
  // Seconds of pictures waiting.
  double queuedSeconds() const;

 private:
  // Drops from the front up to the next key frame after it; false when there is none.
  // m_lock held.
  bool DropOldestGopLocked();
  void DropFrontLocked();
  void CountDropLocked(const EncodedPacket& packet);
  double SpanLocked() const;
  bool FullLocked() const { return SpanLocked() > m_maxSeconds || m_bytes > m_maxBytes; }

  const double m_maxSeconds;
  const size_t m_maxBytes;
  mutable std::mutex m_lock;
  std::condition_variable m_ready;
  std::deque<SharedPacket> m_packets;
  size_t m_bytes = 0;
  bool m_waitForKey = false;  // drop what comes until a key frame
  bool m_closed = false;
  long long m_lastDroppedGop = 0;
  Dropped m_dropped;
};

}  // namespace sorvo::tools
