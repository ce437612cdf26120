// A disk that stops answering (a network mount gone) holds the sink's worker in its write;
// the capture thread still hands over every picture at once, and the file is whole after.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>

#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/PositionedFile.h"
#include "sink/CSorvoSinkFF.h"
#include "support/CComPtr.h"

namespace {

std::mutex g_disk;  // held by the test while the disk does not answer
std::atomic<bool> g_diskHeld{false};

TEST(SinkWaitTest, ACaptureThreadNeverWaitsForADiskThatHangs) {
  sorvo::test::TestAppDir dir;
  CComPtr<CSorvoSinkFF> sink;
  sink.Attach(new CSorvoSinkFF());
  ASSERT_EQ(
      sink->Create("s", dir.File("s.mp4").c_str(), 160, 120, PIX_FMT_YUV420P, 25, 300000, 0, 0, 0),
      1);
  ASSERT_EQ(sink->StartRecord(), 1);
  int next = 0;
  auto feed = [&](int count) {
    for (int end = next + count; next < end; ++next) {
      std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(160, 120, next);
      sink->OnBuffer(0, next / 25.0, picture.data(), static_cast<long>(picture.size()), 160, 120,
                     PIX_FMT_YUV420P);
    }
  };
  std::unique_lock<std::mutex> hangs(g_disk);
  sorvo::PositionedFile::SetWriteHookForTesting([] {
    g_diskHeld = true;
    std::lock_guard<std::mutex> answers(g_disk);
  });
  // The first fragment goes to the disk at the second key frame.
  ASSERT_TRUE(sorvo::test::WaitUntil([&] {
    feed(1);
    return g_diskHeld.load();
  }));
  // Many times the queue's depth while the write is held: none of them may wait for it.
  std::future<void> capture = std::async(std::launch::async, [&] { feed(200); });
  const bool returned = capture.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  hangs.unlock();
  sorvo::PositionedFile::SetWriteHookForTesting(nullptr);
  capture.wait();
  EXPECT_TRUE(returned) << "OnBuffer waited for the held write";
  feed(25);
  sink->Close();
  const sorvo::test::ProbedFile file = sorvo::test::ProbeFile(dir.File("s.mp4"));
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_GE(file.streams[0].decodedFrames, 25);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
}

}  // namespace
