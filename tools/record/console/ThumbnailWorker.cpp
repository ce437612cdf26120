#include "tools/record/console/ThumbnailWorker.h"

#include <pthread.h>

#include <cerrno>

namespace sorvo::tools {

ThumbnailWorker::ThumbnailWorker(std::array<ThumbnailSlot*, kPictureSlots> slots,
                                 std::array<int, 2> cameraBox,
                                 std::array<int, 2> programBox,
                                 Publish publish,
                                 Complain complain)
    : m_slots(slots), m_publish(std::move(publish)), m_complain(std::move(complain)) {
  for (int slot = 0; slot < kPictureSlots; ++slot) {
    const std::array<int, 2>& box = slot == kProgramSlot ? programBox : cameraBox;
    m_makers[slot] = std::make_unique<JpegThumbnailer>(box[0], box[1]);
  }
  sem_init(&m_wake, 0, 0);
  m_thread = std::thread(&ThumbnailWorker::Run, this);
}

ThumbnailWorker::~ThumbnailWorker() {
  m_stopping.store(true);
  sem_post(&m_wake);
  m_thread.join();
  sem_destroy(&m_wake);
}

void ThumbnailWorker::Wake() {
  sem_post(&m_wake);
}

void ThumbnailWorker::Run() {
  pthread_setname_np(pthread_self(), "ConsoleThumbs");
  std::string error;
  for (;;) {
    while (sem_wait(&m_wake) != 0 && errno == EINTR) {
    }
    if (m_stopping.load())
      return;
    for (int slot = 0; slot < kPictureSlots; ++slot) {
      if (!m_slots[slot]->Take(&m_picture))
        continue;
      auto jpeg = std::make_shared<std::string>();
      if (!m_makers[slot]->Make(m_picture, jpeg.get(), &error)) {
        if (!m_failing[slot])
          m_complain(slot, error);
        m_failing[slot] = true;
        continue;
      }
      m_failing[slot] = false;
      m_publish(slot, std::move(jpeg));
    }
  }
}

}  // namespace sorvo::tools
