// The frame queue: a fixed set of picture buffers moving between a free list and a ready
// queue, so that producers never allocate and the consumer takes pictures in arrival order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "support/ZoCritSec.h"

// Item (FrameItem2) is constructed from the item size and has `data`, `length` and
// kStopMarker.
//
// Threads: any number of producers (GetFree, PutReady, Lend, TakeBack, Settle) and one
// consumer (GetReady, PutFree, WaitReady) at once; Init and ClearAll only while no producer
// or consumer holds an item taken with GetFree or GetReady, since ClearAll frees those
// buffers. m_lock guards the lists, the item size and count, the tail offset and value and
// m_bWake; it is re-entrant because GetFree falls back to GetReady inside its own hold. An
// item a thread has taken out of the lists is that thread's alone until it puts it back.
//
// Lending: a producer may keep a buffer for as long as it takes to write a picture into
// it (Lend), without holding any lock of its owner. Such a buffer is never freed under
// it: ClearAll leaves lent buffers alive, no longer part of the queue, and Settle frees
// them when they come back. Only the queue's destruction frees a buffer still lent.
template <class Item>
class imqueue {
 public:
  // The depth the queue has unless its owner asks for another.
  static constexpr int kItemCount = 5;

  imqueue() = default;
  ~imqueue() { ClearAll(); }
  imqueue(const imqueue&) = delete;
  imqueue& operator=(const imqueue&) = delete;

  // Allocates `itemCount` buffers of `itemSize` bytes, zeroed, so that their memory is
  // really there when pictures start to arrive. Refused (false) for a size or count below
  // 1 and while buffers of an earlier Init are still held: ClearAll first.
  bool Init(int itemSize, int itemCount = kItemCount) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    if (itemSize <= 0 || itemCount <= 0 || !m_allItems.empty())
      return false;
    for (int i = 0; i < itemCount; ++i) {
      m_allItems.push_back(std::make_unique<Item>(itemSize));
      std::memset(m_allItems.back()->data, 0, static_cast<size_t>(itemSize));
      m_freeList.push_back(m_allItems.back().get());
    }
    m_nItemSize = itemSize;
    m_nItemCount = itemCount;
    return true;
  }

  // A buffer to fill: a free one, else the oldest waiting picture's (which is given up);
  // null when the queue has no buffers to hand out.
  Item* GetFree() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    if (!m_freeList.empty()) {
      Item* item = m_freeList.front();
      m_freeList.pop_front();
      return item;
    }
    return GetReady();
  }

  // The oldest waiting picture, or null.
  Item* GetReady() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    if (m_readyQueue.empty())
      return nullptr;
    Item* item = m_readyQueue.front();
    m_readyQueue.pop_front();
    return item;
  }

  void PutFree(Item* item) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    m_freeList.push_back(item);
  }

  void PutReady(Item* item) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    m_readyQueue.push_back(item);
    m_readyChanged.notify_all();
  }

  // What a lent buffer is, as TakeBack finds it: the item (null when there is none), its
  // size, and the fixed tail it had when it was lent, which its producer may have written
  // over.
  struct Returned {
    Item* item = nullptr;
    int capacity = 0;
    int tailOffset = 0;  // 0: no fixed tail
    unsigned char tailValue = 0;
  };

  // GetFree for a producer that writes the picture in place: the buffer stays valid until
  // it comes back through TakeBack and Settle, whatever ClearAll does meanwhile. Null when
  // there is no buffer to hand out.
  Item* Lend() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    Item* item = GetFree();
    if (item != nullptr)
      m_lent.push_back({{item, m_nItemSize, m_nTailOffset, m_nTailValue}, false, false});
    return item;
  }

  // The lent buffer whose bytes start at `data`, marked as on its way back so that a
  // second TakeBack of it finds nothing; no item for bytes this queue did not lend (or
  // that are already on their way back). The item stays safe from ClearAll until Settle.
  Returned TakeBack(const unsigned char* data) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    auto found = std::find_if(m_lent.begin(), m_lent.end(), [data](const Loan& loan) {
      return !loan.returning && loan.what.item->data == data;
    });
    if (found == m_lent.end())
      return Returned();
    found->returning = true;
    return found->what;
  }

  // Ends the loan of an item from TakeBack: queued for the consumer when `ready`, else put
  // back on the free list. A buffer that ClearAll took out of the queue while it was lent
  // is freed instead. True when the item went back into the queue.
  bool Settle(Item* item, bool ready) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    auto found = std::find_if(m_lent.begin(), m_lent.end(),
                              [item](const Loan& loan) { return loan.what.item == item; });
    if (found == m_lent.end())
      return false;
    const bool orphaned = found->orphaned;
    m_lent.erase(found);
    if (orphaned) {
      m_orphans.erase(
          std::find_if(m_orphans.begin(), m_orphans.end(),
                       [item](const std::unique_ptr<Item>& o) { return o.get() == item; }));
      return false;
    }
    if (ready)
      PutReady(item);
    else
      PutFree(item);
    return true;
  }

  // Queues the stop marker behind the waiting pictures, giving up the oldest of them when
  // no buffer is free.
  void PostStop() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    Item* item = GetFree();
    if (item == nullptr)
      return;
    item->length = Item::kStopMarker;
    PutReady(item);
  }

  // Frees every buffer but the lent ones, which leave the queue and are freed as they come
  // back; the queue is empty until the next Init.
  void ClearAll() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    m_freeList.clear();
    m_readyQueue.clear();
    for (Loan& loan : m_lent) {
      if (loan.orphaned)
        continue;
      loan.orphaned = true;
      auto owned =
          std::find_if(m_allItems.begin(), m_allItems.end(),
                       [&](const std::unique_ptr<Item>& i) { return i.get() == loan.what.item; });
      m_orphans.push_back(std::move(*owned));
      m_allItems.erase(owned);
    }
    m_allItems.clear();
    m_nItemSize = 0;
    m_nItemCount = 0;
    m_nTailOffset = 0;
  }

  // Gives every buffer the same bytes from `offset` to its end, for pictures whose last
  // part never changes (the colour planes of a grey picture): a producer then copies only
  // the `offset` bytes before it. Only between Init and the first GetFree, when every
  // buffer is on the free list. False for an offset outside (0, item size).
  bool SetFixedTail(int offset, unsigned char value) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    if (offset <= 0 || offset >= m_nItemSize || m_freeList.size() != m_allItems.size())
      return false;
    for (Item* item : m_freeList)
      std::memset(item->data + offset, value, static_cast<size_t>(m_nItemSize - offset));
    m_nTailOffset = offset;
    m_nTailValue = value;
    return true;
  }

  // Where the fixed tail begins; 0 without one.
  int GetTailOffset() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    return m_nTailOffset;
  }

  // Blocks the consumer until a picture waits or Wake is called; a Wake that comes before
  // the wait is not lost. The caller must not hold m_lock.
  void WaitReady() {
    std::unique_lock<ZoCritSec> hold(m_lock);
    m_readyChanged.wait(hold, [this] { return !m_readyQueue.empty() || m_bWake; });
    m_bWake = false;
  }

  // Ends the consumer's current or next WaitReady without a picture.
  void Wake() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    m_bWake = true;
    m_readyChanged.notify_all();
  }

  // True while Init's buffers are held (free, waiting or in someone's hands).
  bool HasBuffers() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    return !m_allItems.empty();
  }

  int GetItemSize() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    return m_nItemSize;
  }

  // Buffers of the last Init; 0 without buffers.
  int GetItemCount() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    return m_nItemCount;
  }

 private:
  struct Loan {
    Returned what;
    bool returning;  // TakeBack has found it
    bool orphaned;   // ClearAll ran while it was lent: m_orphans owns it
  };

  ZoCritSec m_lock;
  std::deque<Item*> m_freeList;
  std::deque<Item*> m_readyQueue;  // oldest first
  std::deque<std::unique_ptr<Item>> m_allItems;
  std::vector<Loan> m_lent;                      // a few at most: one per lending producer
  std::vector<std::unique_ptr<Item>> m_orphans;  // lent when ClearAll ran
  int m_nItemSize = 0;
  int m_nItemCount = 0;
  int m_nTailOffset = 0;  // 0: no fixed tail
  unsigned char m_nTailValue = 0;
  std::condition_variable_any m_readyChanged;
  bool m_bWake = false;
};
