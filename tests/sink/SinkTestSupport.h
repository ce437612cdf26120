// What the recording-sink tests share: a data target that keeps every packet, a feeder
// that hands pictures to a sink one at a time, waiting for each packet so that the pool
// never has to give a picture up, and a sink whose worker can be held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/CodecTestSupport.h"
#include "common/CounterPicture.h"
#include "sink/CSorvoSinkFF.h"

namespace sorvo::test {

class PacketCollector : public ISorvoData {
 public:
  int OnEncodeData(int id, AVPacket* packet) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ids.push_back(id);
    m_packets.push_back(CopyPacket(packet));
    m_changed.notify_all();
    return 1;
  }

  // Waits (at most a generous minute, so that a fault fails instead of hanging) until
  // `count` packets have arrived.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::seconds(60),
                              [&] { return m_packets.size() >= count; });
  }

  // Waits (at most a generous minute) until the packet of the picture on the frame grid's
  // slot `pts` has arrived.
  bool WaitForSlot(int64_t pts) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::seconds(60),
                              [&] { return !m_packets.empty() && m_packets.back().pts >= pts; });
  }

  std::vector<SeenPacket> Packets() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_packets;
  }
  std::vector<int> Ids() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_ids;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<SeenPacket> m_packets;  // guarded by m_lock
  std::vector<int> m_ids;             // guarded by m_lock
};

// Feeds `count` moving YUV 4:2:0 pictures, each after the previous one was encoded.
inline bool FeedPictures(CSorvoSinkFF& sink, PacketCollector& collector, int width, int height,
                         int count, int first = 0) {
  const size_t before = collector.Packets().size();
  StreamInfo info;
  sink.GetStreamInfo(&info);
  const double rate = info.frameRate > 0 ? info.frameRate : 25;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(width, height, first + i);
    // Captured one frame interval after the one before, picture `first` being the first.
    sink.OnBuffer(0, (first + i) / rate, picture.data(), static_cast<long>(picture.size()),
                  width, height, PIX_FMT_YUV420P);
    if (!collector.WaitFor(before + i + 1)) return false;
  }
  return true;
}

// The counter of every picture the packets decode to, in order; -1 for one without. A slot
// no picture came for repeats the picture before it: a picture is listed once, however many
// slots it fills.
inline std::vector<int> DecodedCounters(const std::vector<SeenPacket>& packets) {
  Mpeg4Decoder decoder;
  std::vector<int> counters;
  for (const SeenPacket& packet : packets)
    for (const Picture& picture : decoder.Decode(packet.data)) {
      const CounterMark mark = ReadCounter(picture);
      const int counter = mark.readable ? mark.counter : -1;
      if (counters.empty() || counter < 0 || counters.back() != counter)
        counters.push_back(counter);
    }
  return counters;
}

// A smooth grey picture (so that the lossy encoder keeps it close) that moves with `frame`.
inline std::vector<uint8_t> GreyPicture(int width, int height, int frame) {
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height);
  for (int row = 0; row < height; ++row)
    for (int col = 0; col < width; ++col)
      picture[row * width + col] = static_cast<uint8_t>(20 + (col + row) / 2 + frame * 2);
  return picture;
}

// A recording sink whose worker stops inside its packet hook, once its packet number
// `holdAt` (from 0) has gone out, until the test lets it go: the capture thread goes on
// meanwhile, as on a machine too busy to encode.
class HeldSink : public CSorvoSinkFF {
 public:
  explicit HeldSink(int64_t holdAt) : m_holdAt(holdAt) {}
  // The worker stops before this class's part of the object goes.
  ~HeldSink() override { Close(); }

  // False when the worker never got there (within a generous minute).
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::seconds(60), [&] { return m_held; });
  }
  void LetGo() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_released = true;
    m_changed.notify_all();
  }

 protected:
  void OnEncode(AVPacket* packet) override {
    CSorvoSinkFF::OnEncode(packet);
    if (m_nPackets++ != m_holdAt)
      return;
    std::unique_lock<std::mutex> hold(m_lock);
    m_held = true;
    m_changed.notify_all();
    m_changed.wait(hold, [&] { return m_released; });
  }

 private:
  const int64_t m_holdAt;
  int64_t m_nPackets = 0;  // the worker's own
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_held = false;      // guarded by m_lock
  bool m_released = false;  // guarded by m_lock
};

}  // namespace sorvo::test
