// A sink closed and created again by the control thread while capture threads keep handing
// it pictures, copied or written into lent buffers, as hosts do when they stop a camera and
// its sink from different threads.
// AddressSanitizer and ThreadSanitizer builds catch a buffer freed under a copy or a member
// torn down under a forwarding call; the plain build catches crashes and lost pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/packet.h>
}

#include "common/CodecTestSupport.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"

namespace {

using sorvo::test::TestAppDir;
using sorvo::test::WaitUntil;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

// Counts the pictures a sink forwards and the packets it hands out, from any thread.
class Counting : public IGrabberCallBack, public ISorvoData {
 public:
  int OnBuffer(int, double, unsigned char*, long, int, int, PixelFormat) override {
    forwarded.fetch_add(1);
    return 1;
  }
  int OnEncodeData(int, AVPacket* packet) override {
    if (packet != nullptr && packet->size > 0)
      packets.fetch_add(1);
    return 1;
  }
  std::atomic<int64_t> forwarded{0};
  std::atomic<int64_t> packets{0};
};

int64_t FramesIn(CSorvoSinkFF& sink) {
  StreamInfo info;
  sink.GetStreamInfo(&info);
  return info.framesIn;
}

TEST(SinkCloseRaceTest, CloseAndCreateWhilePicturesArriveFromSeveralThreads) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=1\n");
  InitSorvo();
  const unsigned short port = sorvo::test::FreeLoopbackPort();
  ASSERT_NE(port, 0);
  const std::string path = dir.File("race.mp4");

  auto* sink = new CSorvoSinkFF();
  Counting counting;
  sink->SetGrabberCallBack(&counting);
  sink->SetEncodeDataOutputCB(&counting);

  std::atomic<bool> feeding{true};
  std::atomic<int64_t> fed{0};
  std::vector<std::thread> feeders;
  // The third feeder writes its pictures into lent buffers, and hands them to OnBuffer
  // when the sink has none to lend (closed, or every buffer busy).
  for (int f = 0; f < 3; ++f) {
    feeders.emplace_back([&, f] {
      const bool lends = f == 2;
      std::vector<uint8_t> picture =
          sorvo::test::SolidPackedPicture(PIX_FMT_BGR24, kWidth, kHeight, 40 * f, 200, 90);
      const long size = static_cast<long>(picture.size());
      while (feeding.load()) {
        long capacity = 0;
        unsigned char* lent = lends ? sink->LendBuffer(&capacity) : nullptr;
        if (lent != nullptr) {
          EXPECT_EQ(capacity, size);
          std::memcpy(lent, picture.data(), std::min(capacity, size));
          sink->ReturnBuffer(lent, f, fed.load() / 25.0, size, kWidth, kHeight, PIX_FMT_BGR24);
        } else {
          sink->OnBuffer(f, fed.load() / 25.0, picture.data(), size, kWidth, kHeight,
                         PIX_FMT_BGR24);
        }
        fed.fetch_add(1);
      }
    });
  }

  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    // Every other round with a server, a recording and flipped pictures, and every fourth
    // with a preview, so that Close tears down each kind of member while the feeders go on.
    const bool full = round % 2 == 0;
    sink->SetFlipVertical(full ? 1 : 0);
    ASSERT_EQ(sink->Create("race", path.c_str(), kWidth, kHeight, PIX_FMT_BGR24, 25, 800000, 3,
                           full ? port : 0, round % 4 == 1 ? 1 : 0),
              1);
    if (full) {
      ASSERT_EQ(sink->StartRecord(), 1);
    }
    const int64_t before = counting.packets.load();
    ASSERT_TRUE(WaitUntil([&] { return counting.packets.load() > before; })) << round;
    EXPECT_EQ(sink->Close(), 1);
  }
  // Pictures that come after the last Close are still counted and forwarded.
  const int64_t closedAt = counting.forwarded.load();
  ASSERT_TRUE(WaitUntil([&] { return counting.forwarded.load() > closedAt + 10; }));
  const int64_t packetsAfterClose = counting.packets.load();

  feeding.store(false);
  for (std::thread& feeder : feeders)
    feeder.join();
  EXPECT_EQ(counting.packets.load(), packetsAfterClose);  // nothing is encoded after Close
  EXPECT_EQ(FramesIn(*sink), fed.load());
  EXPECT_EQ(counting.forwarded.load(), fed.load());

  // The last recording (round 10) was closed properly while pictures kept coming.
  const sorvo::test::ProbedFile file = sorvo::test::ProbeFile(path);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_GE(file.streams[0].decodedFrames, 1);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  sink->Release();
}

}  // namespace
