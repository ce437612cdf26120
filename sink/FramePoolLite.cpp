#include "sink/FramePoolLite.h"

#include <cstring>

#include "host/CopyFrame.h"

FramePoolLite::FramePoolLite() = default;

FramePoolLite::~FramePoolLite() {
  // CThread's own destructor would join too, but only after the queue's buffers are gone.
  CancelThread();
  Stop(10, nullptr);
}

void FramePoolLite::CancelThread() {
  CThread::CancelThread();
  Wake();
}

int FramePoolLite::Push(int id,
                        unsigned char* data,
                        int width,
                        int height,
                        PixelFormat pixelFormat,
                        double time,
                        long length) {
  // Checked before a buffer is taken, so that a refused picture costs no waiting one.
  const int itemSize = GetItemSize();
  const int tail = GetTailOffset();
  if (length < 0 || length > itemSize || (data == nullptr && length > 0) ||
      (tail > 0 && length != tail))
    return 0;
  FrameItem2* item = GetFree();
  if (item == nullptr)
    return 0;
  Describe(item, id, width, height, pixelFormat, time,
           static_cast<int32_t>(tail > 0 ? itemSize : length));
  CopyFrame(item->data, data, static_cast<size_t>(length));
  PutReady(item);
  return 1;
}

int FramePoolLite::ReturnLent(const Returned& lent,
                              int id,
                              int width,
                              int height,
                              PixelFormat pixelFormat,
                              double time,
                              long length) {
  FrameItem2* item = lent.item;
  const bool tail = lent.tailOffset > 0;
  const bool whole = length == lent.capacity;
  const bool fits =
      tail ? length == lent.tailOffset || whole : length > 0 && length <= lent.capacity;
  if (fits) {
    // The loan's own tail, not the pool's: a Close and Create may have made another pool.
    if (tail && whole)
      std::memset(item->data + lent.tailOffset, lent.tailValue,
                  static_cast<size_t>(lent.capacity - lent.tailOffset));
    Describe(item, id, width, height, pixelFormat, time,
             static_cast<int32_t>(tail ? lent.capacity : length));
  }
  return Settle(item, fits) && fits ? 1 : 0;
}

void FramePoolLite::Describe(FrameItem2* item,
                             int id,
                             int width,
                             int height,
                             PixelFormat pixelFormat,
                             double time,
                             int32_t length) {
  item->time = time;
  item->height = height;
  item->width = width;
  item->pixelFormat = pixelFormat;
  item->id = id;
  item->length = length;
}

void FramePoolLite::StopWorker() {
  if (!HasBuffers())
    return;
  CancelThread();
  PostStop();
  Stop(10, nullptr);
}

void FramePoolLite::StopPool() {
  if (!HasBuffers())
    return;
  StopWorker();
  ClearAll();
}

int FramePoolLite::StartWorker(const std::string& name) {
  SetThreadName(name);
  return Start(m_strThreadName.c_str(), nullptr);
}

int FramePoolLite::OnFrame(int /*id*/,
                           double /*time*/,
                           unsigned char* /*data*/,
                           long /*length*/,
                           int /*width*/,
                           int /*height*/,
                           PixelFormat /*pixelFormat*/) {
  return 1;
}

int FramePoolLite::WorkLoop() {
  if (IsThreadCanceled())
    return 0;
  FrameItem2* last = nullptr;
  for (;;) {
    FrameItem2* item = GetReady();
    if (item == nullptr) {
      WaitReady();
    } else if (item->data == nullptr || item->length == FrameItem2::kStopMarker ||
               !OnFrame(item->id, item->time, item->data, item->length, item->width, item->height,
                        item->pixelFormat)) {
      last = item;
      break;
    } else {
      PutFree(item);
    }
    if (IsThreadCanceled())
      return 0;  // no buffer is held here
  }
  PutFree(last);
  return 0;
}

int FramePoolLite::Run() {
  return WorkLoop();
}
