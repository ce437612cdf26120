// What a sink's callers wait for, and what they must never wait for: a capture thread never
// waits for the disk the worker writes to, and a host that unsets its forward target waits
// for the forwards under way before it frees the target.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/PositionedFile.h"
#include "sink/CSorvoSinkFF.h"
#include "support/CComPtr.h"

namespace {

using sorvo::test::TestAppDir;
using sorvo::test::WaitUntil;

constexpr int kW = 160;
constexpr int kH = 120;

// A gate a thread waits at until the test opens it; `entered` tells the test that one did.
struct Gate {
  std::mutex lock;
  std::condition_variable opened;
  bool open = false;
  std::atomic<bool> entered{false};

  void Pass() {
    entered.store(true);
    std::unique_lock<std::mutex> hold(lock);
    opened.wait(hold, [this] { return open; });
  }
  void Open() {
    std::lock_guard<std::mutex> hold(lock);
    open = true;
    opened.notify_all();
  }
};

// A sink of small YUV pictures recording into dir/name.mp4, without a server.
CComPtr<CSorvoSinkFF> NewSink(const TestAppDir& dir, const std::string& name) {
  CComPtr<CSorvoSinkFF> sink;
  sink.Attach(new CSorvoSinkFF());
  EXPECT_EQ(sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25,
                         300000, 0, 0, 0),
            1);
  return sink;
}

Gate* g_disk = nullptr;  // the held disk of the test under way

void HoldTheDisk() {
  g_disk->Pass();
}

// A disk that stops answering (a network mount gone away) holds the worker in its write;
// the capture thread still hands over every picture at once, the newest replacing the
// oldest, and once the disk answers again the file is whole.
TEST(SinkWaitTest, ACaptureThreadNeverWaitsForADiskThatHangs) {
  TestAppDir dir;
  CComPtr<CSorvoSinkFF> sink;
  sink.Attach(new CSorvoSinkFF());
  ASSERT_EQ(sink->Create("slow", dir.File("slow.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 300000,
                         0, 0, 0),
            1);
  ASSERT_EQ(sink->StartRecord(), 1);
  Gate disk;
  g_disk = &disk;
  sorvo::PositionedFile::SetWriteHookForTesting(&HoldTheDisk);

  int next = 0;
  auto feed = [&](int count) {
    for (int i = 0; i < count; ++i, ++next) {
      std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(kW, kH, next);
      sink->OnBuffer(0, next / 25.0, picture.data(), static_cast<long>(picture.size()), kW, kH,
                     PIX_FMT_YUV420P);
    }
  };
  // The first fragment goes to the disk at the second key frame.
  ASSERT_TRUE(WaitUntil([&] {
    feed(1);
    return disk.entered.load();
  }));
  // Many times the queue's depth, while the write is held: none of them may wait for it.
  std::future<void> capture = std::async(std::launch::async, [&] { feed(200); });
  const bool returned = capture.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  disk.Open();
  sorvo::PositionedFile::SetWriteHookForTesting(nullptr);
  capture.wait();
  EXPECT_TRUE(returned) << "OnBuffer waited for the held write";

  feed(25);
  sink->Close();
  const sorvo::test::ProbedFile file = sorvo::test::ProbeFile(dir.File("slow.mp4"));
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_GE(file.streams[0].decodedFrames, 25);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
}

// A forward target that holds the forward it is given until the test lets it go.
class HeldTarget : public IGrabberCallBack {
 public:
  int OnBuffer(int, double, unsigned char*, long, int, int, PixelFormat) override {
    forwards.fetch_add(1);
    gate.Pass();
    finished.store(true);
    return 1;
  }
  Gate gate;
  std::atomic<int> forwards{0};
  std::atomic<bool> finished{false};
};

TEST(SinkWaitTest, UnsettingTheForwardTargetWaitsForTheForwardUnderWay) {
  TestAppDir dir;
  CComPtr<CSorvoSinkFF> sink;
  sink.Attach(new CSorvoSinkFF());
  ASSERT_EQ(sink->Create("held", dir.File("held.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 300000,
                         0, 0, 0),
            1);
  auto target = std::make_unique<HeldTarget>();
  sink->SetGrabberCallBack(target.get());
  std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(kW, kH, 0);
  auto deliver = [&] {
    sink->OnBuffer(0, 0.0, picture.data(), static_cast<long>(picture.size()), kW, kH,
                   PIX_FMT_YUV420P);
  };
  std::thread capture(deliver);
  ASSERT_TRUE(WaitUntil([&] { return target->gate.entered.load(); }));

  std::atomic<bool> finishedWhenUnset{false};
  std::thread control([&] {
    sink->SetGrabberCallBack(nullptr);
    finishedWhenUnset.store(target->finished.load());
  });
  // Time for an unset that does not wait to return before the forward ends.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  target->gate.Open();
  control.join();
  capture.join();
  EXPECT_TRUE(finishedWhenUnset.load()) << "the target could be freed while forwarded to";
  target.reset();  // the host frees it, as it may once the unset returned
  deliver();       // and nothing reaches it any more
  sink->Close();
}

}  // namespace
