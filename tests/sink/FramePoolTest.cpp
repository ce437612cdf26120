#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sink/FramePool.h"
#include "sink/FramePoolLite.h"

namespace {

constexpr int kItemSize = 64;

struct Seen {
  int id;
  double time;
  std::vector<unsigned char> bytes;
  int width;
  int height;
  PixelFormat format;
  std::string thread;
};

// The pool's owner: records every picture the worker hands over.
class Recorder {
 public:
  int Take(int id,
           double time,
           unsigned char* data,
           long length,
           int width,
           int height,
           PixelFormat format) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    std::lock_guard<std::mutex> hold(m_lock);
    m_seen.push_back(
        {id, time, std::vector<unsigned char>(data, data + length), width, height, format, name});
    m_changed.notify_all();
    return m_result;
  }

  // Waits until `count` pictures have arrived; the timeout only stops a broken run.
  std::vector<Seen> WaitFor(size_t count) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait_for(hold, std::chrono::seconds(20), [&] { return m_seen.size() >= count; });
    return m_seen;
  }
  std::vector<Seen> All() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_seen;
  }
  void SetResult(int result) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_result = result;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<Seen> m_seen;  // guarded by m_lock
  int m_result = 1;          // guarded by m_lock
};

using Pool = FramePool<Recorder, FramePoolLite>;

// Pushes a picture whose every byte is its id.
int PushNumbered(FramePoolLite& pool, int id, long length = kItemSize) {
  std::vector<unsigned char> bytes(length, static_cast<unsigned char>(id));
  return pool.Push(id, bytes.data(), 320 + id, 240 + id, PIX_FMT_BGR24, id * 0.5, length);
}

std::vector<int> Ids(const std::vector<Seen>& seen) {
  std::vector<int> ids;
  for (const Seen& s : seen)
    ids.push_back(s.id);
  return ids;
}

// Takes every free buffer out, puts them back, and says how many there were.
int CountFreeBuffers(FramePoolLite& pool) {
  std::vector<FrameItem2*> taken;
  while (FrameItem2* item = pool.GetFree())
    taken.push_back(item);
  for (FrameItem2* item : taken)
    pool.PutFree(item);
  return static_cast<int>(taken.size());
}

TEST(FramePoolTest, SixthPushGivesUpOldestAndWorkerSeesTheRestInOrder) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  for (int id = 1; id <= 5; ++id)
    ASSERT_EQ(PushNumbered(pool, id), 1);
  EXPECT_EQ(PushNumbered(pool, 6), 1);  // no buffer free: picture 1 gives way

  ASSERT_EQ(pool.StartWorker("Pool_cam1"), 1);
  std::vector<Seen> seen = owner.WaitFor(5);
  ASSERT_EQ(Ids(seen), (std::vector<int>{2, 3, 4, 5, 6}));
  for (const Seen& s : seen) {
    EXPECT_EQ(s.bytes, std::vector<unsigned char>(kItemSize, static_cast<unsigned char>(s.id)));
    EXPECT_EQ(s.width, 320 + s.id);
    EXPECT_EQ(s.height, 240 + s.id);
    EXPECT_EQ(s.format, PIX_FMT_BGR24);
    EXPECT_EQ(s.time, s.id * 0.5);
    EXPECT_EQ(s.thread, "Pool_cam1");
  }

  // Pictures pushed while the worker runs reach it too.
  ASSERT_EQ(PushNumbered(pool, 7, 3), 1);
  seen = owner.WaitFor(6);
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[5].bytes, std::vector<unsigned char>(3, 7));

  pool.StopPool();
  EXPECT_FALSE(pool.HasBuffers());
  EXPECT_EQ(pool.WaitThread(0), 0u);
  EXPECT_EQ(PushNumbered(pool, 8), 0);  // no buffers after StopPool
}

TEST(FramePoolTest, StopMarkerTakesTheOldestWaitingPlaceAndEndsTheWorker) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  for (int id = 1; id <= 5; ++id)
    ASSERT_EQ(PushNumbered(pool, id), 1);
  pool.PostStop();

  ASSERT_EQ(pool.StartWorker("Pool_marker"), 1);
  EXPECT_EQ(pool.WaitThread(-1), 0u);  // the worker ends on its own at the marker
  EXPECT_EQ(Ids(owner.All()), (std::vector<int>{2, 3, 4, 5}));
  // Every buffer, the marker's included, is back on the free list.
  EXPECT_EQ(CountFreeBuffers(pool), 5);
  pool.StopPool();
}

TEST(FramePoolTest, RefusedPicturesCostNothingThatWaits) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  EXPECT_EQ(PushNumbered(pool, 1), 0);  // before Init
  EXPECT_FALSE(pool.Init(0));
  ASSERT_TRUE(pool.Init(kItemSize));
  EXPECT_FALSE(pool.Init(kItemSize));  // buffers already held

  for (int id = 1; id <= 5; ++id)
    ASSERT_EQ(PushNumbered(pool, id), 1);
  EXPECT_EQ(PushNumbered(pool, 9, kItemSize + 1), 0);  // longer than a buffer
  EXPECT_EQ(pool.Push(10, nullptr, 1, 1, PIX_FMT_GRAY8, 0, 4), 0);
  EXPECT_EQ(pool.Push(11, nullptr, 1, 1, PIX_FMT_GRAY8, 0, -1), 0);

  pool.StartWorker("Pool_refuse");
  EXPECT_EQ(Ids(owner.WaitFor(5)), (std::vector<int>{1, 2, 3, 4, 5}));
  pool.StopPool();
}

TEST(FramePoolTest, AFixedTailEndsEveryPictureAndIsNeverCopiedOver) {
  constexpr int kHead = 48;
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  EXPECT_FALSE(pool.SetFixedTail(kHead, 0x80));  // before Init
  ASSERT_TRUE(pool.Init(kItemSize));
  EXPECT_FALSE(pool.SetFixedTail(0, 0x80));
  EXPECT_FALSE(pool.SetFixedTail(kItemSize, 0x80));
  ASSERT_TRUE(pool.SetFixedTail(kHead, 0x80));

  EXPECT_EQ(PushNumbered(pool, 1, kItemSize), 0);  // would overwrite the tail
  EXPECT_EQ(PushNumbered(pool, 2, kHead - 1), 0);  // would leave stale bytes before it
  // Seven pictures through five buffers: every buffer is reused and keeps its tail.
  for (int id = 3; id <= 9; ++id)
    ASSERT_EQ(PushNumbered(pool, id, kHead), 1);
  EXPECT_FALSE(pool.SetFixedTail(kHead, 0x10));  // buffers are in use

  ASSERT_EQ(pool.StartWorker("Pool_tail"), 1);
  const std::vector<Seen> seen = owner.WaitFor(5);
  ASSERT_EQ(Ids(seen), (std::vector<int>{5, 6, 7, 8, 9}));
  for (const Seen& s : seen) {
    std::vector<unsigned char> expected(kHead, static_cast<unsigned char>(s.id));
    expected.resize(kItemSize, 0x80);
    EXPECT_EQ(s.bytes, expected) << s.id;
  }
  pool.StopPool();

  // A new Init starts without a tail.
  ASSERT_TRUE(pool.Init(kItemSize));
  EXPECT_EQ(PushNumbered(pool, 10, kItemSize), 1);
  pool.StopPool();
}

TEST(FramePoolTest, StopWorkerKeepsTheBuffersUntilClearAll) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  ASSERT_EQ(pool.StartWorker("Pool_halt"), 1);
  ASSERT_EQ(PushNumbered(pool, 1), 1);
  owner.WaitFor(1);
  pool.StopWorker();
  EXPECT_EQ(pool.WaitThread(0), 0u);
  // The worker has ended but the buffers stay: a producer may still be copying into one.
  EXPECT_TRUE(pool.HasBuffers());
  EXPECT_EQ(PushNumbered(pool, 2), 1);
  pool.ClearAll();
  EXPECT_EQ(PushNumbered(pool, 3), 0);  // refused once the buffers are gone
  EXPECT_EQ(pool.GetItemSize(), 0);
  EXPECT_EQ(Ids(owner.All()), std::vector<int>{1});
}

TEST(FramePoolTest, StopPoolOnAPoolNeverInitialisedLeavesTheThreadAlone) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  pool.StopPool();
  EXPECT_EQ(pool.IsThreadCanceled(), 0);

  ASSERT_EQ(pool.StartWorker("Pool_empty"), 1);
  pool.StopPool();
  EXPECT_EQ(pool.IsThreadCanceled(), 0);
  EXPECT_EQ(pool.WaitThread(0), 258u);  // still waiting for pictures
  pool.CancelThread();                  // wakes the waiting worker
  EXPECT_EQ(pool.Stop(10, nullptr), 1);
}

TEST(FramePoolTest, OwnerReturningZeroEndsTheWorkerForGood) {
  Recorder owner;
  owner.SetResult(0);
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  ASSERT_EQ(pool.StartWorker("Pool_zero"), 1);
  ASSERT_EQ(PushNumbered(pool, 1), 1);
  EXPECT_EQ(pool.WaitThread(-1), 0u);

  // Later pictures keep recycling the oldest waiting one; nothing processes them.
  for (int id = 2; id <= 9; ++id)
    EXPECT_EQ(PushNumbered(pool, id), 1);
  EXPECT_EQ(Ids(owner.All()), std::vector<int>{1});
  EXPECT_EQ(CountFreeBuffers(pool), 5);  // ready pictures count: GetFree falls back to them
  pool.StopPool();
  EXPECT_FALSE(pool.HasBuffers());

  // A pool without an owner ends at its first picture the same way.
  Pool orphan(nullptr, &Recorder::Take);
  ASSERT_TRUE(orphan.Init(kItemSize));
  ASSERT_EQ(PushNumbered(orphan, 1), 1);
  ASSERT_EQ(orphan.StartWorker("Pool_orphan"), 1);
  EXPECT_EQ(orphan.WaitThread(-1), 0u);
  orphan.StopPool();
}

TEST(FramePoolTest, ConcurrentProducersNeverSeeTornOrReorderedPictures) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  constexpr int kBig = 64 * 1024;
  ASSERT_TRUE(pool.Init(kBig));
  ASSERT_EQ(pool.StartWorker("Pool_stress"), 1);

  constexpr int kProducers = 3;
  constexpr int kPictures = 150;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&pool, p] {
      std::vector<unsigned char> bytes(kBig);
      for (int n = 0; n < kPictures; ++n) {
        const int id = p * 1000 + n;
        std::memset(bytes.data(), id & 0xFF, bytes.size());
        bytes[0] = static_cast<unsigned char>(p);
        EXPECT_EQ(pool.Push(id, bytes.data(), 1, 1, PIX_FMT_GRAY8, 0, kBig - n), 1);
      }
    });
  }
  for (std::thread& t : producers)
    t.join();
  pool.PostStop();
  EXPECT_EQ(pool.WaitThread(-1), 0u);

  std::vector<Seen> seen = owner.All();
  ASSERT_FALSE(seen.empty());
  int last[kProducers] = {-1, -1, -1};
  for (const Seen& s : seen) {
    const int p = s.id / 1000;
    const int n = s.id % 1000;
    ASSERT_LT(p, kProducers);
    EXPECT_GT(n, last[p]) << "producer " << p << " reordered";
    last[p] = n;
    ASSERT_EQ(s.bytes.size(), static_cast<size_t>(kBig - n));
    EXPECT_EQ(s.bytes[0], p);
    for (size_t i = 1; i < s.bytes.size(); i += 997)
      ASSERT_EQ(s.bytes[i], s.id & 0xFF);
  }
  pool.StopPool();
}

TEST(FramePoolTest, DestroyingARunningPoolStopsItsWorkerFirst) {
  {
    FramePoolLite pool;  // a bare pool: its OnFrame accepts and does nothing
    ASSERT_TRUE(pool.Init(kItemSize));
    ASSERT_EQ(pool.StartWorker("Pool_leftover"), 1);
    for (int id = 1; id <= 20; ++id)
      PushNumbered(pool, id);
  }  // AddressSanitizer fails here if the worker outlives the buffers
  SUCCEED();
}

TEST(FramePoolTest, ADeeperPoolKeepsEveryPictureUntilItsOwnDepthIsFull) {
  constexpr int kDepth = 12;
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize, kDepth));
  EXPECT_EQ(pool.GetItemCount(), kDepth);
  for (int id = 1; id <= kDepth; ++id)
    ASSERT_EQ(PushNumbered(pool, id), 1);
  ASSERT_EQ(PushNumbered(pool, kDepth + 1), 1);  // only now does picture 1 give way

  ASSERT_EQ(pool.StartWorker("Pool_deep"), 1);
  std::vector<int> expected;
  for (int id = 2; id <= kDepth + 1; ++id)
    expected.push_back(id);
  EXPECT_EQ(Ids(owner.WaitFor(kDepth)), expected);
  pool.StopPool();
  EXPECT_EQ(pool.GetItemCount(), 0);
  EXPECT_FALSE(pool.Init(kItemSize, 0));
}

// Lends a buffer and writes a numbered picture of `length` bytes into it.
FrameItem2* LendNumbered(FramePoolLite& pool, int id, long length = kItemSize) {
  FrameItem2* item = pool.Lend();
  if (item != nullptr)
    std::memset(item->data, id, static_cast<size_t>(length));
  return item;
}

int ReturnNumbered(FramePoolLite& pool, FrameItem2* item, int id, long length = kItemSize) {
  return pool.ReturnLent(pool.TakeBack(item->data), id, 320 + id, 240 + id, PIX_FMT_BGR24, id * 0.5,
                         length);
}

TEST(FramePoolTest, LendingTakesTheOldestWaitingPictureAndNeverWaits) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  EXPECT_EQ(pool.Lend(), nullptr);  // before Init
  ASSERT_TRUE(pool.Init(kItemSize));
  for (int id = 1; id <= 4; ++id)
    ASSERT_EQ(PushNumbered(pool, id), 1);
  FrameItem2* fifth = LendNumbered(pool, 5);  // the last free buffer
  FrameItem2* sixth = LendNumbered(pool, 6);  // picture 1 gives way
  ASSERT_NE(fifth, nullptr);
  ASSERT_NE(sixth, nullptr);
  FrameItem2* more[3];
  for (FrameItem2*& item : more)  // pictures 2, 3 and 4 give way
    ASSERT_NE(item = pool.Lend(), nullptr);
  EXPECT_EQ(pool.Lend(), nullptr);  // all five lent: nothing to wait for, nothing given
  EXPECT_EQ(PushNumbered(pool, 99), 0);
  for (FrameItem2* item : more)
    EXPECT_EQ(ReturnNumbered(pool, item, 0, 0), 0);  // handed back unused

  // Returned in another order than lent: the worker sees them as they came back.
  EXPECT_EQ(ReturnNumbered(pool, sixth, 6), 1);
  EXPECT_EQ(ReturnNumbered(pool, fifth, 5, 3), 1);
  ASSERT_EQ(pool.StartWorker("Pool_lend"), 1);
  const std::vector<Seen> seen = owner.WaitFor(2);
  ASSERT_EQ(Ids(seen), (std::vector<int>{6, 5}));
  EXPECT_EQ(seen[0].bytes, std::vector<unsigned char>(kItemSize, 6));
  EXPECT_EQ(seen[0].width, 326);
  EXPECT_EQ(seen[0].time, 3.0);
  EXPECT_EQ(seen[1].bytes, std::vector<unsigned char>(3, 5));
  pool.StopPool();
}

TEST(FramePoolTest, ABufferComesBackOnceAndOnlyToThePoolThatLentIt) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  FrameItem2* item = LendNumbered(pool, 1);
  ASSERT_NE(item, nullptr);
  unsigned char elsewhere[kItemSize];
  EXPECT_EQ(pool.TakeBack(elsewhere).item, nullptr);
  EXPECT_EQ(pool.TakeBack(item->data + 1).item, nullptr);
  const FramePoolLite::Returned lent = pool.TakeBack(item->data);
  ASSERT_EQ(lent.item, item);
  EXPECT_EQ(lent.capacity, kItemSize);
  EXPECT_EQ(pool.TakeBack(item->data).item, nullptr);  // already on its way back
  EXPECT_EQ(pool.ReturnLent(lent, 1, 1, 1, PIX_FMT_GRAY8, 0, kItemSize + 1), 0);  // too long
  EXPECT_EQ(pool.ReturnLent(lent, 1, 1, 1, PIX_FMT_GRAY8, 0, kItemSize), 0);      // settled
  EXPECT_EQ(CountFreeBuffers(pool), 5);  // the refused picture's buffer is free again
  pool.StopPool();
}

TEST(FramePoolTest, ALentBufferOutlivesClearAllAndIsFreedWhenItComesBack) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  ASSERT_EQ(pool.StartWorker("Pool_orphan"), 1);
  FrameItem2* item = pool.Lend();
  ASSERT_NE(item, nullptr);
  pool.StopPool();
  EXPECT_FALSE(pool.HasBuffers());
  // AddressSanitizer fails here if StopPool freed the lent buffer.
  std::memset(item->data, 7, kItemSize);
  const FramePoolLite::Returned lent = pool.TakeBack(item->data);
  ASSERT_EQ(lent.item, item);

  // A new pool of another size comes up meanwhile: the old buffer is not queued in it.
  ASSERT_TRUE(pool.Init(kItemSize * 2));
  EXPECT_EQ(pool.ReturnLent(lent, 7, 1, 1, PIX_FMT_GRAY8, 0, kItemSize), 0);
  EXPECT_EQ(CountFreeBuffers(pool), 5);
  ASSERT_EQ(pool.StartWorker("Pool_after"), 1);
  ASSERT_EQ(PushNumbered(pool, 8, kItemSize * 2), 1);
  EXPECT_EQ(Ids(owner.WaitFor(1)), std::vector<int>{8});
  pool.StopPool();
}

TEST(FramePoolTest, ALentBufferThatWroteOverTheFixedTailGetsItBack) {
  constexpr int kHead = 48;
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  ASSERT_TRUE(pool.Init(kItemSize));
  ASSERT_TRUE(pool.SetFixedTail(kHead, 0x80));
  FrameItem2* whole = LendNumbered(pool, 1);  // over the tail too
  FrameItem2* head = LendNumbered(pool, 2, kHead);
  FrameItem2* other = LendNumbered(pool, 3, kHead);
  EXPECT_EQ(ReturnNumbered(pool, whole, 1), 1);
  EXPECT_EQ(ReturnNumbered(pool, head, 2, kHead), 1);
  EXPECT_EQ(ReturnNumbered(pool, other, 3, kHead - 1), 0);  // would leave stale bytes
  ASSERT_EQ(pool.StartWorker("Pool_lendtail"), 1);
  const std::vector<Seen> seen = owner.WaitFor(2);
  ASSERT_EQ(Ids(seen), (std::vector<int>{1, 2}));
  for (const Seen& s : seen) {
    std::vector<unsigned char> expected(kHead, static_cast<unsigned char>(s.id));
    expected.resize(kItemSize, 0x80);
    EXPECT_EQ(s.bytes, expected) << s.id;
  }
  pool.StopPool();
}

TEST(FramePoolTest, LendingProducersBesidePushingOnesNeverSeeTornPictures) {
  Recorder owner;
  Pool pool(&owner, &Recorder::Take);
  constexpr int kBig = 64 * 1024;
  ASSERT_TRUE(pool.Init(kBig, 3));
  ASSERT_EQ(pool.StartWorker("Pool_lendrace"), 1);
  constexpr int kPictures = 200;
  std::thread lender([&pool] {
    for (int n = 0; n < kPictures; ++n) {
      FrameItem2* item = pool.Lend();
      if (item == nullptr)
        continue;  // every buffer busy: this picture is lost, nothing waits
      std::memset(item->data, n & 0xFF, kBig);
      item->data[0] = 1;
      EXPECT_EQ(pool.ReturnLent(pool.TakeBack(item->data), 1000 + n, 1, 1, PIX_FMT_GRAY8, 0, kBig),
                1);
    }
  });
  std::thread pusher([&pool] {
    std::vector<unsigned char> bytes(kBig);
    for (int n = 0; n < kPictures; ++n) {
      std::memset(bytes.data(), n & 0xFF, bytes.size());
      bytes[0] = 0;
      pool.Push(n, bytes.data(), 1, 1, PIX_FMT_GRAY8, 0, kBig);
    }
  });
  lender.join();
  pusher.join();
  pool.PostStop();
  EXPECT_EQ(pool.WaitThread(-1), 0u);
  for (const Seen& s : owner.All()) {
    ASSERT_EQ(s.bytes[0], s.id / 1000);
    for (size_t i = 1; i < s.bytes.size(); i += 991)
      ASSERT_EQ(s.bytes[i], (s.id % 1000) & 0xFF) << s.id;
  }
  pool.StopPool();
}

}  // namespace
