// What the controller tests share: real camera and director sinks with taps on what reaches
// them, and a controller whose director sink can be watched.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "muxing/SorvoMuxer.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/SinkTestSupport.h"

namespace sorvo::test {

// A recording sink that counts the encoded data handed to it (the audio the controller
// passes on), and otherwise behaves as any recording sink.
class AudioTapSink : public CSorvoSinkFF {
 public:
  // The worker stops before this class's part of the object goes.
  ~AudioTapSink() override { Close(); }
  int OnEncodeData(int id, AVPacket* packet) override {
    if (id == kAudioDataTag && packet != nullptr)
      audioPackets.fetch_add(1);
    return CSorvoSinkFF::OnEncodeData(id, packet);
  }
  std::atomic<int> audioPackets{0};
};

// Keeps a copy of every picture a sink forwards to it.
class GrabberTap : public IGrabberCallBack {
 public:
  struct Seen {
    int id;
    std::vector<uint8_t> data;
    long length;
    int width, height;
    PixelFormat format;
  };
  int OnBuffer(int id,
               double /*time*/,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat format) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_seen.push_back(
        {id, std::vector<uint8_t>(data, data + length), length, width, height, format});
    return 1;
  }
  std::vector<Seen> Pictures() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_seen;
  }

 private:
  std::mutex m_lock;
  std::vector<Seen> m_seen;  // guarded by m_lock
};

// Hands every packet on to the controller, and keeps a copy so that a test can wait for it.
class TeeData : public ISorvoData {
 public:
  explicit TeeData(ISorvoData* next) : m_next(next) {}
  int OnEncodeData(int id, AVPacket* packet) override {
    m_next->OnEncodeData(id, packet);
    return collector.OnEncodeData(id, packet);
  }
  PacketCollector collector;

 private:
  ISorvoData* const m_next;
};

// A controller whose director sinks are AudioTapSinks, with its fitting operations in reach.
class TestMuxer : public SorvoMuxer {
 public:
  using SorvoMuxer::ZoomOri;
  using SorvoMuxer::ZoomScale;
  // The AudioTapSink behind GetDirector().
  AudioTapSink* Director() { return dynamic_cast<AudioTapSink*>(GetDirector().get()); }

 protected:
  ISorvoSink* NewDirectorSink() override { return new AudioTapSink(); }
};

// How many pictures reached a sink's OnBuffer.
inline int64_t FramesIn(ISorvoSink* sink) {
  StreamInfo info;
  sink->GetStreamInfo(&info);
  return info.framesIn;
}

// An AVPacket over `data` for the duration of a call.
class BorrowedPacket {
 public:
  explicit BorrowedPacket(std::vector<uint8_t>& data, int flags = 0) : m_packet(av_packet_alloc()) {
    m_packet->data = data.data();
    m_packet->size = static_cast<int>(data.size());
    m_packet->flags = flags;
  }
  ~BorrowedPacket() { av_packet_free(&m_packet); }
  BorrowedPacket(const BorrowedPacket&) = delete;
  BorrowedPacket& operator=(const BorrowedPacket&) = delete;
  AVPacket* get() { return m_packet; }

 private:
  AVPacket* m_packet;
};

}  // namespace sorvo::test
