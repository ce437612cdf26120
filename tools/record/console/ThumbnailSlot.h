// Hands the newest picture of one tile (a camera, or the program) from the capture threads
// to the thumbnail worker, copying one only while someone watches the tile and a thumbnail
// is due. A capture thread never waits here: if the worker is taking the last copy at that
// moment, the picture is simply not copied. A picture not yet taken is overwritten by the
// next one copied: the newest wins, nothing queues up.
//
// Threads: Offer on any capture thread (the program's slot gets pictures from whichever
// camera is on program, so from several threads); Take on the worker; SetWanted and
// ArmFirstPicture on the network thread; the counters anywhere. m_lock guards m_picture
// and m_fresh.
#pragma once

#include <sorvo/sorvo.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sorvo::tools {

// libswscale reads packed sources in whole vectors, some dozens of bytes past the end of a
// row, so past the end of the last one: a copy made for scaling has this much room behind
// the picture.
constexpr size_t kScaleReadPadding = 256;

struct RawPicture {
  std::vector<uint8_t> data;  // the picture, possibly followed by padding
  int width = 0;
  int height = 0;
  PixelFormat format = PIX_FMT_NONE;
};

class ThumbnailSlot {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ThumbnailSlot(Clock::duration period) : m_period(period) {}
  ThumbnailSlot(const ThumbnailSlot&) = delete;
  ThumbnailSlot& operator=(const ThumbnailSlot&) = delete;

  struct Offered {
    bool copied = false;  // a fresh picture waits for the worker
    bool first = false;   // the first picture since ArmFirstPicture
  };
  Offered Offer(const unsigned char* data,
                long length,
                int width,
                int height,
                PixelFormat format,
                Clock::time_point now);
  // The fresh picture, if there is one, swapped into `into` (whose buffer the slot keeps
  // for its next copy).
  bool Take(RawPicture* into);

  // While false, pictures are only counted.
  void SetWanted(bool wanted) { m_wanted.store(wanted, std::memory_order_relaxed); }
  // While true (and wanted), every picture is due: the tile is watched at its full rate.
  void SetFullRate(bool full) { m_fullRate.store(full, std::memory_order_relaxed); }
  bool wanted() const { return m_wanted.load(std::memory_order_relaxed); }
  // The next picture offered reports itself as the first.
  void ArmFirstPicture() { m_awaitFirst.store(true); }
  bool awaitingFirst() const { return m_awaitFirst.load(); }

  long long pictures() const { return m_pictures.load(std::memory_order_relaxed); }
  int width() const { return m_width.load(std::memory_order_relaxed); }
  int height() const { return m_height.load(std::memory_order_relaxed); }

 private:
  const Clock::duration m_period;
  std::atomic<bool> m_wanted{false};
  std::atomic<bool> m_fullRate{false};
  std::atomic<bool> m_awaitFirst{false};
  std::atomic<long long> m_pictures{0};
  std::atomic<int> m_width{0};
  std::atomic<int> m_height{0};
  std::atomic<Clock::rep> m_nextDue{0};
  std::mutex m_lock;
  RawPicture m_picture;
  bool m_fresh = false;
};

}  // namespace sorvo::tools
