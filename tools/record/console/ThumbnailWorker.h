// The thread that turns the pictures the slots copied into JPEG thumbnails and hands each
// one on. Capture threads wake it with a semaphore post, which never blocks them.
//
// Threads: the constructor and the destructor (which stops and joins the thread) on the
// owner's thread; Wake on any thread; the publish callback runs on the worker's thread.
#pragma once

#include <semaphore.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/JpegThumbnailer.h"
#include "tools/record/console/ThumbnailSlot.h"

namespace sorvo::tools {

class ThumbnailWorker {
 public:
  using Publish = std::function<void(int slot, std::shared_ptr<const std::string> jpeg)>;
  // A failure to make a thumbnail, said once per slot until one succeeds again.
  using Complain = std::function<void(int slot, const std::string& error)>;

  // `slots` (kPictureSlots of them) outlive the worker. Camera thumbnails fit in
  // `cameraBox`, the program's in `programBox` (width, height).
  ThumbnailWorker(std::array<ThumbnailSlot*, kPictureSlots> slots,
                  std::array<int, 2> cameraBox,
                  std::array<int, 2> programBox,
                  Publish publish,
                  Complain complain);
  ~ThumbnailWorker();
  ThumbnailWorker(const ThumbnailWorker&) = delete;
  ThumbnailWorker& operator=(const ThumbnailWorker&) = delete;

  void Wake();

 private:
  void Run();

  std::array<ThumbnailSlot*, kPictureSlots> m_slots;
  Publish m_publish;
  Complain m_complain;
  // The worker's own: one thumbnailer per slot, its picture, its complaint state.
  std::array<std::unique_ptr<JpegThumbnailer>, kPictureSlots> m_makers;
  std::array<bool, kPictureSlots> m_failing{};
  RawPicture m_picture;
  sem_t m_wake;
  std::atomic<bool> m_stopping{false};
  std::thread m_thread;
};

}  // namespace sorvo::tools
