#include "sink/FramePoolLite.h"

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
  item->time = time;
  item->height = height;
  item->width = width;
  item->pixelFormat = pixelFormat;
  item->id = id;
  item->length = static_cast<int32_t>(tail > 0 ? itemSize : length);
  CopyFrame(item->data, data, static_cast<size_t>(length));
  PutReady(item);
  return 1;
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
