// What the recording-sink tests share: a data target that keeps every packet, and a feeder
// that hands pictures to a sink one at a time, waiting for each packet so that the pool
// never has to give a picture up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/CodecTestSupport.h"
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

}  // namespace sorvo::test
