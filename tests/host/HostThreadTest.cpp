#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "host/CThread.h"
#include "host/TickCount.h"

namespace {

class CountingThread : public CThread {
 public:
  std::atomic<int> passes{0};
  std::string seenName;

 protected:
  int Run() override {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    seenName = name;
    while (!IsThreadCanceled()) {
      ++passes;
      SleepThread(1, 1);
    }
    return 0;
  }
};

TEST(CThreadTest, RunsNamedBodyUntilCancelledAndStopJoins) {
  CountingThread thread;
  ASSERT_EQ(thread.Start("Pool_a-very-long-camera-name", nullptr), 1);
  EXPECT_EQ(thread.Start("again", nullptr), 0);  // already running
  EXPECT_EQ(thread.WaitThread(1), 258u);
  thread.CancelThread();
  EXPECT_EQ(thread.Stop(10, nullptr), 1);
  EXPECT_EQ(thread.seenName, "Pool_a-very-lon");  // first 15 bytes
  EXPECT_EQ(thread.WaitThread(0), 0u);
  EXPECT_EQ(thread.Stop(10, nullptr), 0);  // nothing left to join
  // Restartable after a stop.
  ASSERT_EQ(thread.Start("second", nullptr), 1);
  thread.CancelThread();
  thread.Stop(10, nullptr);
  EXPECT_EQ(thread.seenName, "second");
}

uint32_t g_fakeTicks = 0;
uint32_t FakeTicks() { return g_fakeTicks; }

TEST(TickCountTest, InjectedSourceWraps) {
  sorvo::SetTickSourceForTesting(&FakeTicks);
  g_fakeTicks = 0xFFFFFFFFu;
  const uint32_t before = GetTickCount();
  g_fakeTicks += 2;
  EXPECT_EQ(GetTickCount() - before, 2u);  // unsigned difference survives the wrap
  sorvo::SetTickSourceForTesting(nullptr);
}

}  // namespace
