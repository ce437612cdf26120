// Network clients that misbehave while a sink records: one that floods the server with
// bytes, one that stops reading, and 200 that connect and leave in a loop. The recording
// and a well-behaved client must not notice, and nothing may be left behind.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "FaultTestSupport.h"
#include "ProcessFootprint.h"
#include "ToolPaths.h"
#include "ToolProcess.h"
#include "audio/CAudioSinkFF.h"
#include "common/CodecTestSupport.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/ITransferServer.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"
#include "sink/PacketHeader.h"
#include "sink/SinkTestSupport.h"

namespace {

using namespace sorvo::test;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kChurnClients = 200;

// 200 clients, one after the other, each connecting and leaving: a third after reading its
// first `served` bytes (which come only while the recording goes on), a third at once, a
// third with a reset.
class Churn {
 public:
  Churn(unsigned short port, size_t served)
      : m_thread([this, port, served] {
          for (int i = 0; i < kChurnClients; ++i) {
            LoopbackClient client(port);
            if (!client.connected())
              ++m_failures;
            if (i % 3 == 0 && client.Read(served).size() != served)
              ++m_failures;
            if (i % 3 == 2)
              client.Reset();
          }
          m_done.store(true);
        }) {}
  ~Churn() { m_thread.join(); }

  bool done() const { return m_done.load(); }
  int failures() const { return m_failures.load(); }

 private:
  std::atomic<bool> m_done{false};
  std::atomic<int> m_failures{0};
  std::thread m_thread;
};

// Sends 4 MiB of noise, which the server must read and throw away, then reads what the
// server sent it up to then.
class Flooder {
 public:
  explicit Flooder(unsigned short port)
      : m_client(port), m_thread([this] {
          std::vector<uint8_t> noise(64 * 1024);
          for (size_t i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<uint8_t>(i * 151);
          for (int i = 0; i < 64 && m_sent; ++i)
            m_sent = m_client.SendAll(noise.data(), noise.size());
          m_done.store(true);
        }) {}
  ~Flooder() { m_thread.join(); }

  bool done() const { return m_done.load(); }
  // After done(): whether every byte went out.
  bool sent() const { return m_sent; }
  LoopbackClient& client() { return m_client; }

 private:
  LoopbackClient m_client;
  std::atomic<bool> m_done{false};
  bool m_sent = true;
  std::thread m_thread;
};

// Reads the greeting and then every packet with its header, on a thread of its own.
class GoodVideoClient {
 public:
  explicit GoodVideoClient(unsigned short port)
      : m_client(port), m_thread([this] {
          m_greeted.store(m_client.Read(sizeof(StreamInfo)).size() == sizeof(StreamInfo));
          for (;;) {
            const std::string head = m_client.Read(sizeof(PacketHeader));
            if (head.size() != sizeof(PacketHeader))
              return;
            PacketHeader header;
            std::memcpy(&header, head.data(), sizeof(header));
            const std::string body = m_client.Read(static_cast<size_t>(header.size));
            if (m_headers.empty())
              m_firstSeq.store(header.seq);
            m_headers.push_back(header);
            m_packets.emplace_back(body.begin(), body.end());
            m_count.store(m_packets.size());
          }
        }) {}

  bool connected() const { return m_client.connected(); }
  bool greeted() const { return m_greeted.load(); }
  size_t count() const { return m_count.load(); }
  // The sequence number of the first packet it got; -1 before one came.
  int firstSeq() const { return m_firstSeq.load(); }
  // After the server closed the connection.
  void Join() {
    m_thread.join();
    m_client.Close();
  }
  const std::vector<PacketHeader>& headers() const { return m_headers; }
  const std::vector<std::vector<uint8_t>>& packets() const { return m_packets; }

 private:
  LoopbackClient m_client;
  std::vector<PacketHeader> m_headers;
  std::vector<std::vector<uint8_t>> m_packets;
  std::atomic<bool> m_greeted{false};
  std::atomic<size_t> m_count{0};
  std::atomic<int> m_firstSeq{-1};
  std::thread m_thread;
};

TEST(SinkNetworkFaultTest, FloodStallAndChurnLeaveTheRecordingAndAGoodClientWhole) {
  InitSorvo();
  TestAppDir dir;
  const ProcessFootprint before;
  const unsigned short port = FreeLoopbackPort();
  PacketCollector collector;
  CSorvoSinkFF* sink = StartRecordingSink(dir, "net", kWidth, kHeight, port, collector);
  ASSERT_NE(sink, nullptr);

  GoodVideoClient good(port);
  ASSERT_TRUE(good.connected());
  int fed = 0;
  auto feed = [&] { return FeedPictures(*sink, collector, kWidth, kHeight, 1, fed++); };
  // The server admits a client to broadcasts just after its greeting: from the first packet
  // it gets on, it must get every one.
  ASSERT_TRUE(WaitUntil([&] { return good.greeted(); }));
  ASSERT_TRUE(feed());
  {
    LoopbackClient stalled(port, "127.0.0.1", 4096);
    ASSERT_TRUE(stalled.connected());
    Flooder flooder(port);
    ASSERT_TRUE(flooder.client().connected());
    Churn churn(port, sizeof(StreamInfo) + sizeof(PacketHeader));
    // Pictures go on while the clients misbehave, and for a while after.
    ASSERT_TRUE(WaitUntil([&] { return !feed() || (churn.done() && flooder.done()); }));
    for (int i = 0; i < 20; ++i)
      ASSERT_TRUE(feed());
    EXPECT_EQ(churn.failures(), 0);
    EXPECT_TRUE(flooder.sent()) << "the server stopped reading what the flooder sent";
    // The flooder was served all along: its greeting is whole.
    const std::string greeting = flooder.client().Read(sizeof(StreamInfo));
    ASSERT_EQ(greeting.size(), sizeof(StreamInfo));
    StreamInfo info;
    std::memcpy(&info, greeting.data(), sizeof(info));
    EXPECT_EQ(info.width, kWidth);
  }
  // With the others gone, each broadcast reaches the good client alone.
  ASSERT_TRUE(WaitUntil([&] {
    StreamInfo info;
    sink->GetStreamInfo(&info);
    return info.clients == 1 || !feed();
  }));
  StreamInfo start;
  sink->GetStreamInfo(&start);
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(feed());
  StreamInfo end;
  sink->GetStreamInfo(&end);
  EXPECT_EQ(end.clients, 1);
  EXPECT_EQ(end.bytesSent - start.bytesSent, end.encodedBytes - start.encodedBytes);

  const std::vector<SeenPacket> packets = collector.Packets();
  ASSERT_EQ(static_cast<int>(packets.size()), fed);
  EXPECT_EQ(end.framesIn, fed);
  EXPECT_EQ(end.packetsSent, fed);
  int64_t encoded = 0;
  for (const SeenPacket& packet : packets)
    encoded += static_cast<int64_t>(packet.data.size());
  EXPECT_EQ(end.encodedBytes, encoded);
  // Every broadcast reached the good client at least.
  EXPECT_GE(end.bytesSent, end.encodedBytes);

  // Stopping the server drops what is still queued: the client has had everything first.
  ASSERT_TRUE(WaitUntil([&] {
    return good.firstSeq() >= 0 && good.count() + good.firstSeq() == packets.size();
  })) << good.count()
      << " packets from " << good.firstSeq() << " of " << packets.size();
  sink->Close();
  good.Join();
  ASSERT_FALSE(good.headers().empty());
  const size_t first = static_cast<size_t>(good.headers()[0].seq);
  EXPECT_LT(first, 3u);
  ASSERT_EQ(good.packets().size() + first, packets.size());
  for (size_t i = 0; i < good.packets().size(); ++i) {
    EXPECT_EQ(good.packets()[i], packets[first + i].data) << i;
    EXPECT_EQ(good.headers()[i].seq, static_cast<int32_t>(first + i));
    EXPECT_EQ(good.headers()[i].key != 0, packets[first + i].key()) << i;
  }
  sink->Release();

  const ProbedFile mp4 = ProbeFile(dir.File("net.mp4"));
  ASSERT_TRUE(mp4.opened);
  ASSERT_EQ(mp4.streams.size(), 1u);
  EXPECT_EQ(mp4.streams[0].decodedFrames, fed);
  EXPECT_EQ(mp4.streams[0].decodeErrors, 0);
  EXPECT_EQ(before.WaitUntilNothingLeftBehind(), "");
}

class AudioPackets : public ISorvoData {
 public:
  int OnEncodeData(int /*id*/, AVPacket* packet) override {
    bytes.append(reinterpret_cast<const char*>(packet->data), packet->size);
    ++packets;
    return 1;
  }
  std::string bytes;  // the audio thread's, read once it has stopped
  std::atomic<int> packets{0};
};

TEST(AudioSinkNetworkFaultTest, FloodStallAndChurnLeaveTheSoundAndAGoodClientWhole) {
  constexpr int kRate = 44100;
  TestAppDir dir;
  const ProcessFootprint before;
  const unsigned short port = FreeLoopbackPort();
  AudioPackets receiver;
  {
    AudioSink sink;
    sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
    const WAVEFORMATEX stereo{1, 2, kRate, 4 * kRate, 4, 16, 0};
    ASSERT_EQ(sink.Create("mic", dir.File("mic.wav").c_str(), stereo, port), 1);
    LoopbackClient good(port);
    ASSERT_TRUE(good.connected());
    ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));
    std::string heard;  // the listening thread's until it has ended
    std::atomic<size_t> heardSize{0};
    std::thread listen([&] {
      for (;;) {
        const std::string bytes = good.Read(1);
        if (bytes.empty())
          return;
        heard += bytes;
        heardSize.store(heard.size());
      }
    });

    int sample = 0;
    auto feed = [&] {
      sink.Feed(Tone(440, kRate, 2, sample, 1152));
      sample += 1152;
      return true;
    };
    {
      LoopbackClient stalled(port, "127.0.0.1", 4096);
      ASSERT_TRUE(stalled.connected());
      Flooder flooder(port);
      Churn churn(port, 1);  // the audio server sends no greeting, only MP3 frames
      ASSERT_TRUE(WaitUntil([&] { return feed() && churn.done() && flooder.done(); }));
      EXPECT_EQ(churn.failures(), 0);
      EXPECT_TRUE(flooder.sent());
      // A client that stopped reading does not hold the sound up.
      EXPECT_TRUE(WaitUntil([&] { return feed() && sink.ClientCount() == 3; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return feed() && sink.ClientCount() == 1; }));
    for (int i = 0; i < 20; ++i)
      feed();
    const std::string sent = receiver.bytes;  // the packets the client must have had
    ASSERT_TRUE(WaitUntil([&] { return heardSize.load() >= sent.size(); }));
    sink.Close();
    listen.join();
    // Byte for byte what the receiver got, up to the packets drained at Close, which the
    // server may drop as it stops.
    ASSERT_GE(heard.size(), sent.size());
    EXPECT_EQ(heard.substr(0, sent.size()), sent);
    EXPECT_EQ(heard, receiver.bytes.substr(0, heard.size()));

    const ProbedFile wav = ProbeFile(dir.File("mic.wav"));
    ASSERT_TRUE(wav.opened);
    ASSERT_EQ(wav.streams.size(), 1u);
    EXPECT_EQ(wav.streams[0].decodedSamples, sample);
  }
  RecordingAudioDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  EXPECT_EQ(decoder.Decode(reinterpret_cast<const uint8_t*>(receiver.bytes.data()),
                           static_cast<int>(receiver.bytes.size())),
            1);
  EXPECT_GE(static_cast<int>(decoder.frames.size()), receiver.packets.load() - 1);
  EXPECT_EQ(before.WaitUntilNothingLeftBehind(), "");
}

TEST(RecorderNetworkFaultTest, TheRecorderServesAGoodClientThroughFloodStallAndChurn) {
  TestAppDir dir;
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0);
  const std::string out = dir.File("session");
  ToolProcess recorder(kRecordProgram,
                       {"--seconds", "0", "--camera", "test:320x240", "--director", "320x180",
                        "--ports", std::to_string(base), "--out", out},
                       dir.path());
  ASSERT_TRUE(recorder.WaitForOutput("Recording into", std::chrono::seconds(60)))
      << recorder.Stdout() << recorder.Stderr();
  const auto camera = static_cast<unsigned short>(base + 1);
  const auto sound = static_cast<unsigned short>(base + 10);
  GoodVideoClient good(camera);
  ASSERT_TRUE(good.connected());
  {
    LoopbackClient stalledCamera(camera, "127.0.0.1", 4096);
    LoopbackClient stalledSound(sound, "127.0.0.1", 4096);
    Flooder cameraFlood(camera);
    Flooder soundFlood(sound);
    Churn cameraChurn(camera, sizeof(StreamInfo) + sizeof(PacketHeader));
    Churn soundChurn(sound, 1);
    ASSERT_TRUE(WaitUntil([&] {
      return cameraChurn.done() && soundChurn.done() && cameraFlood.done() && soundFlood.done();
    }));
    EXPECT_EQ(cameraChurn.failures(), 0);
    EXPECT_EQ(soundChurn.failures(), 0);
    EXPECT_TRUE(cameraFlood.sent());
    EXPECT_TRUE(soundFlood.sent());
  }
  const size_t before = good.count();
  ASSERT_TRUE(WaitUntil([&] { return good.count() > before + 5; }));
  recorder.Signal(SIGTERM);
  ASSERT_EQ(recorder.Wait(std::chrono::seconds(60)), 0) << recorder.Stdout() << recorder.Stderr();
  // The recorder checks that each MP4 holds every picture its sink made.
  EXPECT_NE(recorder.Stdout().find("Every file is good"), std::string::npos) << recorder.Stdout();
  good.Join();

  // Every packet from the first one on, in order, whole: they decode from the first key
  // frame without an error.
  ASSERT_GT(good.packets().size(), 10u);
  Mpeg4Decoder decoder;
  size_t decoded = 0;
  bool keyed = false;
  for (size_t i = 0; i < good.packets().size(); ++i) {
    const PacketHeader& header = good.headers()[i];
    EXPECT_EQ(header.seq, good.headers()[0].seq + static_cast<int32_t>(i));
    EXPECT_EQ(header.size, static_cast<int32_t>(good.packets()[i].size()));
    keyed = keyed || header.key != 0;
    if (keyed)
      decoded += decoder.Decode(good.packets()[i]).size();
  }
  EXPECT_EQ(decoder.errors, 0);
  EXPECT_GT(decoded, 5u);
}

}  // namespace
