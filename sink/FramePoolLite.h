// A frame queue with its own worker thread: producers push copies of pictures and return at
// once; the worker hands them, oldest first, to OnFrame.
#pragma once

#include <string>

#include "host/CThread.h"
#include "host/PixelFormat.h"
#include "sink/FrameItem2.h"
#include "sink/imqueue.h"

// Order of use by the owner: Init(item size[, item count]); StartWorker(name) (or
// SetThreadName and Start); Push, or Lend, TakeBack and ReturnLent, from any thread;
// PostStop and/or StopPool; destroy.
//
// Threads: Push runs on any producer thread, OnFrame and WorkLoop only on the worker; Init,
// StartWorker, StopWorker, StopPool and ClearAll on the owner's control thread. ClearAll
// (and so StopPool) frees the buffers a producer may be filling, so it must never run while
// a Push is under way: an owner whose producers hold a lock of the owner's around Push
// calls StopWorker without that lock (OnFrame may well take it) and then ClearAll under it.
// A Push after ClearAll is refused. A lent buffer needs no lock of the owner's: ClearAll
// leaves it alive until it comes back (imqueue). The queue's lock guards the lists; it is never
// held while a picture is copied or processed. The thread name is written before Start and only
// read afterwards. The destructor stops a worker that is still running, so that the worker
// never outlives the buffers; an owner whose OnFrame reaches into the owner must still stop
// the pool first, before its own members go.
class FramePoolLite : public CThread, public imqueue<FrameItem2> {
 public:
  FramePoolLite();
  ~FramePoolLite() override;

  // Cancels and wakes the worker, so that a worker waiting for pictures sees it at once.
  void CancelThread() override;

  // Copies the picture into a free buffer, or into the oldest waiting picture's buffer when
  // none is free, and queues it: 1. 0 (nothing queued, nothing given up) before Init, after
  // StopPool or ClearAll, and for a picture longer than the item size or with no data.
  // With a fixed tail (SetFixedTail) only pictures of exactly the tail's offset are taken;
  // the worker sees each with the tail, as one picture of the item size.
  int Push(int id,
           unsigned char* data,
           int width,
           int height,
           PixelFormat pixelFormat,
           double time,
           long length);
  // Ends the loan of a buffer from Lend that TakeBack found: its producer wrote a picture
  // of `length` bytes into it, which is queued as Push would queue a copy of it: 1. 0 (the
  // buffer goes back to the free list) for a length of 0 (nothing written) or one Push
  // would refuse; 0 too when the pool let go of the buffer while it was lent (Close), which
  // frees it. With a fixed tail a picture of the whole item size is taken as well: the
  // tail it wrote over is written again.
  int ReturnLent(const Returned& lent,
                 int id,
                 int width,
                 int height,
                 PixelFormat pixelFormat,
                 double time,
                 long length);
  // Cancels the worker, queues the stop marker and waits for the worker to end; the
  // buffers stay. Does nothing on a pool without buffers.
  void StopWorker();
  // StopWorker, then frees the buffers. Does nothing on a pool without buffers (never
  // initialised, or already stopped).
  void StopPool();

  void SetThreadName(const std::string& name) { m_strThreadName = name; }
  const std::string& GetThreadName() const { return m_strThreadName; }
  // SetThreadName(name), then Start under that name: 1 started, 0 not.
  int StartWorker(const std::string& name);

  // One queued picture, on the worker. 0 ends the worker loop for good. The buffer is the
  // pool's and valid only during the call.
  virtual int OnFrame(int id,
                      double time,
                      unsigned char* data,
                      long length,
                      int width,
                      int height,
                      PixelFormat pixelFormat);
  // The worker: processes queued pictures in order until the stop marker, a null buffer,
  // an OnFrame result of 0, or cancellation. Always 0.
  virtual int WorkLoop();

 protected:
  int Run() override;

 private:
  static void Describe(FrameItem2* item,
                       int id,
                       int width,
                       int height,
                       PixelFormat pixelFormat,
                       double time,
                       int32_t length);

  std::string m_strThreadName;
};
