// Counts the encoded packets a sink hands out and passes each on to the next receiver (the
// muxing controller), so that the recorder can tell pictures in from packets out without
// taking the controller's place.
//
// It also keeps where each key frame stands among them, so that the recorder can tell how
// many packets a file that begins at a later key frame was offered.
//
// Threads: OnEncodeData on the producing sink's worker or audio thread; the counters from
// any thread; m_keysLock guards the key frames. The next receiver is set on the control thread
// before packets flow (an atomic, so that a producer thread that already exists sees it) and must
// outlive the producer's use of this object.
#pragma once

#include <sorvo/sorvo.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace sorvo::tools {

class PacketCounter : public ISorvoData {
 public:
  void SetNext(ISorvoData* next) { m_next.store(next); }
  ISorvoData* next() const { return m_next.load(); }
  int OnEncodeData(int id, AVPacket* packet) override;

  long long packets() const { return m_packets.load(std::memory_order_relaxed); }
  // Pictures `sink`, whose packets this counts, took and has neither encoded nor left out:
  // its queue and the picture being encoded. Any thread.
  long long Unencoded(ISorvoSink* sink) const;
  long long bytes() const { return m_bytes.load(std::memory_order_relaxed); }
  // Where the latest timed packet ends, in seconds after its encoder's time origin.
  double end() const { return m_end.load(std::memory_order_relaxed); }
  // Packets from the first key frame at or after `seconds` after its encoder's time origin
  // on: what a file that refuses what came before it can hold. 0 when no key frame came
  // then.
  long long PacketsFromKeyAt(double seconds) const;

 private:
  struct Key {
    double seconds;     // after the encoder's time origin
    long long ordinal;  // packets before it
  };

  mutable std::mutex m_keysLock;
  std::vector<Key> m_keys;
  std::atomic<ISorvoData*> m_next{nullptr};
  std::atomic<long long> m_packets{0};
  std::atomic<long long> m_bytes{0};
  std::atomic<double> m_end{0};
};

}  // namespace sorvo::tools
