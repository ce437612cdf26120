// The frame queue: a fixed set of picture buffers moving between a free list and a ready
// queue, so that producers never allocate and the consumer takes pictures in arrival order.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>

#include "support/ZoCritSec.h"

// Item (FrameItem2) is constructed from the item size and has `length` and kStopMarker.
//
// Threads: any number of producers (GetFree, PutReady) and one consumer (GetReady, PutFree,
// WaitReady) at once; Init and ClearAll only while no producer or consumer holds an item,
// since ClearAll frees every buffer. m_lock guards the three lists, the item size, the tail
// offset and m_bWake; it is re-entrant because GetFree falls back to GetReady inside its
// own hold. An item a thread has taken out of the lists is that thread's alone until it
// puts it back.
template <class Item>
class imqueue {
 public:
  static constexpr int kItemCount = 5;

  imqueue() = default;
  ~imqueue() { ClearAll(); }
  imqueue(const imqueue&) = delete;
  imqueue& operator=(const imqueue&) = delete;

  // Allocates the five buffers of `itemSize` bytes. Refused (false) for a size below 1 and
  // while buffers of an earlier Init are still held: ClearAll first.
  bool Init(int itemSize) {
    std::lock_guard<ZoCritSec> hold(m_lock);
    if (itemSize <= 0 || !m_allItems.empty())
      return false;
    for (int i = 0; i < kItemCount; ++i) {
      m_allItems.push_back(std::make_unique<Item>(itemSize));
      m_freeList.push_back(m_allItems.back().get());
    }
    m_nItemSize = itemSize;
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

  // Frees every buffer; the queue is empty until the next Init.
  void ClearAll() {
    std::lock_guard<ZoCritSec> hold(m_lock);
    m_freeList.clear();
    m_readyQueue.clear();
    m_allItems.clear();
    m_nItemSize = 0;
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

 private:
  ZoCritSec m_lock;
  std::deque<Item*> m_freeList;
  std::deque<Item*> m_readyQueue;  // oldest first
  std::deque<std::unique_ptr<Item>> m_allItems;
  int m_nItemSize = 0;
  int m_nTailOffset = 0;  // 0: no fixed tail
  std::condition_variable_any m_readyChanged;
  bool m_bWake = false;
};
