// A camera's feeder writes each picture into a buffer its sink lends: the recording read
// back shows the drawn counter in order; a sink with nothing to lend takes the picture as a
// copy, counted and given up as before, without holding the feeder up; and a picture
// written in place is encoded to the same bytes as its copy.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "DrawnLabel.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "sink/CSorvoSinkFF.h"
#include "tools/record/Feeder.h"
#include "tools/record/sources/SyntheticCamera.h"

namespace {

using namespace sorvo::tools;
using sorvo::test::ProbedFile;
using sorvo::test::ProbedStream;
using sorvo::test::ProbeFile;
using sorvo::test::TestAppDir;
using sorvo::test::WaitUntil;

constexpr int kW = 320;
constexpr int kH = 240;

// Keeps every packet a sink encodes.
class Packets : public ISorvoData {
 public:
  int OnEncodeData(int, AVPacket* packet) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_packets.emplace_back(packet->data, packet->data + packet->size);
    return 1;
  }
  std::vector<std::vector<uint8_t>> Taken() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_packets;
  }
  std::mutex m_lock;
  std::vector<std::vector<uint8_t>> m_packets;  // guarded by m_lock
};

// A sink's lender that counts the pictures written into what it lent.
class CountingLender : public SinkLender {
 public:
  using SinkLender::SinkLender;
  int ReturnBuffer(unsigned char* buffer,
                   int id,
                   double time,
                   long length,
                   int width,
                   int height,
                   PixelFormat pixelFormat) override {
    if (length > 0)
      ++written;
    return SinkLender::ReturnBuffer(buffer, id, time, length, width, height, pixelFormat);
  }
  std::atomic<int> written{0};
};

struct Sink {
  explicit Sink(const std::string& path) : sink(new CSorvoSinkFF()) {
    sink->Create("lend", path.c_str(), kW, kH, PIX_FMT_BGR24, 25, 800000, 0, 0, 0);
    sink->SetEncodeDataOutputCB(&packets);
    sink->StartRecord();
  }
  ~Sink() { Finish(); }
  void Finish() {
    if (sink == nullptr)
      return;
    sink->Close();
    sink->StopRecord();
    sink->Release();
    sink = nullptr;
  }
  StreamInfo Info() const {
    StreamInfo info;
    sink->GetStreamInfo(&info);
    return info;
  }
  ISorvoSink* sink;
  Packets packets;
};

class LendingFeedTest : public testing::Test {
 protected:
  // One recording through the lending feeder, 2 s of the test camera.
  static void SetUpTestSuite() {
    s_dir = new TestAppDir();
    InitSorvo();
    s_path = s_dir->File("lent.mp4");
    Sink recording(s_path);
    CountingLender lender(recording.sink);
    const SessionClock clock;
    Feeder feeder(std::make_unique<SyntheticCamera>(2, kW, kH, PIX_FMT_BGR24, 25),
                  {recording.sink, &lender}, 0, true, clock);
    feeder.Start();
    ASSERT_TRUE(WaitUntil([&] { return feeder.delivered() >= 50; }));
    feeder.Stop();
    s_delivered = feeder.delivered();
    s_written = lender.written;
    ASSERT_TRUE(WaitUntil([&] {
      return static_cast<long long>(recording.packets.Taken().size()) >=
             recording.Info().framesIn - 4;
    }));
    recording.Finish();
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }

  static TestAppDir* s_dir;
  static std::string s_path;
  static long long s_delivered;
  static int s_written;
};

TestAppDir* LendingFeedTest::s_dir = nullptr;
std::string LendingFeedTest::s_path;
long long LendingFeedTest::s_delivered = 0;
int LendingFeedTest::s_written = 0;

TEST_F(LendingFeedTest, EveryPictureIsDrawnIntoALentBufferAndPlaysInOrder) {
  EXPECT_EQ(s_written, s_delivered);
  const ProbedFile file = ProbeFile(s_path, true);
  ASSERT_TRUE(file.opened);
  ASSERT_FALSE(file.streams.empty());
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.decodeErrors, 0);
  ASSERT_GE(video.pictures.size(), 40u);
  int previous = -1;
  for (size_t i = 0; i < video.pictures.size(); ++i) {
    EXPECT_EQ(sorvo::test::DrawnCamera(video.pictures[i]), 2) << "picture " << i;
    const int counter = sorvo::test::DrawnCounter(video.pictures[i]);
    EXPECT_GT(counter, previous) << "picture " << i;
    previous = counter;
  }
}

TEST_F(LendingFeedTest, ASinkWithNothingToLendTakesCopiesAndNeverHoldsTheFeederUp) {
  Sink full(s_dir->File("full.mp4"));
  // Every buffer of the sink's queue in the test's hands: nothing left to lend or queue.
  std::vector<unsigned char*> held;
  long capacity = 0;
  while (unsigned char* buffer = full.sink->LendBuffer(&capacity))
    held.push_back(buffer);
  ASSERT_FALSE(held.empty());
  CountingLender lender(full.sink);
  const SessionClock clock;
  Feeder feeder(std::make_unique<SyntheticCamera>(0, kW, kH, PIX_FMT_BGR24, 25),
                {full.sink, &lender}, 0, true, clock);
  feeder.Start();
  ASSERT_TRUE(WaitUntil([&] { return feeder.delivered() >= 10; }));
  feeder.Stop();
  // Each was counted in, as a copy would be, and given up: none was encoded.
  EXPECT_EQ(lender.written, 0);
  EXPECT_EQ(full.Info().framesIn, feeder.delivered());
  EXPECT_TRUE(full.packets.Taken().empty());
  for (unsigned char* buffer : held)
    full.sink->ReturnBuffer(buffer, 0, 0, 0, kW, kH, PIX_FMT_BGR24);
}

TEST_F(LendingFeedTest, APictureDrawnInPlaceIsEncodedToTheBytesOfItsCopy) {
  Sink lent(s_dir->File("inplace.mp4"));
  Sink copied(s_dir->File("copied.mp4"));
  SyntheticCamera camera(1, kW, kH, PIX_FMT_BGR24, 25);
  std::vector<uint8_t> copy;
  for (int i = 0; i < 30; ++i) {
    double due = 0;
    ASSERT_TRUE(camera.NextPicture(&due));
    long capacity = 0;
    unsigned char* buffer = lent.sink->LendBuffer(&capacity);
    ASSERT_NE(buffer, nullptr);
    ASSERT_GE(capacity, camera.pictureLength());
    ASSERT_TRUE(camera.WritePicture(buffer));
    lent.sink->ReturnBuffer(buffer, 0, due, camera.pictureLength(), kW, kH, PIX_FMT_BGR24);
    copy.assign(static_cast<size_t>(camera.pictureLength()), 0);
    ASSERT_TRUE(camera.WritePicture(copy.data()));
    copied.sink->OnBuffer(0, due, copy.data(), static_cast<long>(copy.size()), kW, kH,
                          PIX_FMT_BGR24);
    // One at a time, so that neither queue gives a picture up.
    ASSERT_TRUE(WaitUntil([&] {
      return lent.packets.Taken().size() > static_cast<size_t>(i) &&
             copied.packets.Taken().size() > static_cast<size_t>(i);
    }));
  }
  EXPECT_EQ(lent.packets.Taken(), copied.packets.Taken());
}

}  // namespace
