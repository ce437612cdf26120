// The recorder's tap: one frame source's buffers handed to several receivers, and a
// receiver removed while buffers flow is never called after Remove returns.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tools/record/ProgramTap.h"

namespace {

using sorvo::tools::ProgramTap;

class Receiver : public IGrabberCallBack {
 public:
  explicit Receiver(int result) : m_result(result) {}
  int OnBuffer(int id,
               double time,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat format) override {
    if (m_gone.load())
      m_calledAfterRemove.store(true);
    lastId = id;
    lastTime = time;
    lastData = data;
    lastLength = length;
    lastWidth = width;
    lastHeight = height;
    lastFormat = format;
    ++calls;
    return m_result;
  }
  void MarkRemoved() { m_gone.store(true); }
  bool calledAfterRemove() const { return m_calledAfterRemove.load(); }

  std::atomic<int> calls{0};
  int lastId = -1;
  double lastTime = -1;
  unsigned char* lastData = nullptr;
  long lastLength = 0;
  int lastWidth = 0;
  int lastHeight = 0;
  PixelFormat lastFormat = PIX_FMT_NONE;

 private:
  const int m_result;
  std::atomic<bool> m_gone{false};
  std::atomic<bool> m_calledAfterRemove{false};
};

TEST(ProgramTapTest, EveryReceiverGetsEachBufferAndTheFirstAnswers) {
  ProgramTap tap;
  EXPECT_EQ(tap.OnBuffer(1, 0.5, nullptr, 0, 0, 0, PIX_FMT_NONE), 0);  // nobody yet
  Receiver first(1);
  Receiver second(0);
  tap.Add(&first);
  tap.Add(&second);
  unsigned char picture[6] = {};
  EXPECT_EQ(tap.OnBuffer(100, 2.25, picture, 6, 2, 2, PIX_FMT_YUV420P), 1);
  for (const Receiver* receiver : {&first, &second}) {
    EXPECT_EQ(receiver->calls.load(), 1);
    EXPECT_EQ(receiver->lastId, 100);
    EXPECT_EQ(receiver->lastTime, 2.25);
    EXPECT_EQ(receiver->lastData, picture);
    EXPECT_EQ(receiver->lastLength, 6);
    EXPECT_EQ(receiver->lastWidth, 2);
    EXPECT_EQ(receiver->lastHeight, 2);
    EXPECT_EQ(receiver->lastFormat, PIX_FMT_YUV420P);
  }
  tap.Remove(&first);
  EXPECT_EQ(tap.OnBuffer(100, 2.29, picture, 6, 2, 2, PIX_FMT_YUV420P), 0);
  EXPECT_EQ(first.calls.load(), 1);
  EXPECT_EQ(second.calls.load(), 2);
}

TEST(ProgramTapTest, AReceiverRemovedWhileBuffersFlowIsNotCalledAfterwards) {
  ProgramTap tap;
  Receiver staying(1);
  Receiver leaving(1);
  tap.Add(&staying);
  tap.Add(&leaving);
  std::atomic<bool> stop{false};
  std::thread source([&] {
    unsigned char byte = 0;
    while (!stop.load())
      tap.OnBuffer(0, 0, &byte, 1, 1, 1, PIX_FMT_GRAY8);
  });
  while (leaving.calls.load() < 100)
    std::this_thread::yield();
  tap.Remove(&leaving);
  leaving.MarkRemoved();
  const int before = staying.calls.load();
  while (staying.calls.load() < before + 100)
    std::this_thread::yield();
  stop.store(true);
  source.join();
  EXPECT_FALSE(leaving.calledAfterRemove());
}

}  // namespace
