#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/CMutexEx.h"
#include "support/CodecMutexes.h"
#include "support/ZoCritSec.h"

namespace {

TEST(ZoCritSecTest, ReentersOnOneThread) {
  ZoCritSec section;
  EXPECT_EQ(section.Lock(0), 1);
  EXPECT_EQ(section.Lock(0), 1);
  EXPECT_EQ(section.Unlock(), 1);
  EXPECT_EQ(section.Unlock(), 1);
}

TEST(ZoCritSecTest, ExcludesOtherThreadsWhateverTheTimeout) {
  ZoCritSec section;
  long counter = 0;  // plain on purpose: only the lock keeps the two writers apart
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      section.Lock(0);
      ++counter;
      section.Unlock();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);

  // Lock(0) does not give up: it waits for the holder.
  std::atomic<bool> acquired{false};
  section.Lock(0);
  std::thread waiter([&] {
    section.Lock(0);
    acquired = true;
    section.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(acquired.load());
  section.Unlock();
  waiter.join();
  EXPECT_TRUE(acquired.load());
}

TEST(CMutexExTest, OwnerMayReenterAndOnlyTheOwnerReleases) {
  CMutexEx mutex;
  EXPECT_EQ(mutex.Unlock(), 0);  // not owned
  EXPECT_EQ(mutex.Lock(), 1);
  EXPECT_EQ(mutex.Lock(), 1);
  int otherResult = -1, otherLock = -1;
  std::thread other([&] {
    otherResult = mutex.Unlock();
    otherLock = mutex.Lock(0);
  });
  other.join();
  EXPECT_EQ(otherResult, 0);
  EXPECT_EQ(otherLock, 0);  // timed out at once
  EXPECT_EQ(mutex.Unlock(5, nullptr), 1);  // counted variant: TRUE, nothing released
  EXPECT_EQ(mutex.Unlock(), 1);
  EXPECT_EQ(mutex.Unlock(), 1);
  EXPECT_EQ(mutex.Unlock(), 0);
  std::thread taker([&] {
    otherLock = mutex.Lock(0);
    mutex.Unlock();
  });
  taker.join();
  EXPECT_EQ(otherLock, 1);
}

TEST(CodecMutexesTest, EachKindIsOneProcessWideObject) {
  EXPECT_EQ(&sorvo::VideoEncoderMutex(), &sorvo::VideoEncoderMutex());
  EXPECT_NE(static_cast<void*>(&sorvo::VideoEncoderMutex()),
            static_cast<void*>(&sorvo::VideoDecoderMutex()));
  // Different kinds do not exclude each other.
  std::lock_guard<std::mutex> a(sorvo::VideoEncoderMutex());
  std::lock_guard<std::mutex> b(sorvo::AudioEncoderMutex());
  sorvo::CMutexExLock c(sorvo::AudioDecoderMutex());
  EXPECT_TRUE(sorvo::VideoDecoderMutex().try_lock());
  sorvo::VideoDecoderMutex().unlock();
}

}  // namespace
