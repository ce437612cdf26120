// Packed RGB to YUV 4:2:0 conversion of one picture on several threads at once: a picture
// of an even height is cut into horizontal bands of an even number of rows, the calling
// thread converts the first band and helper threads of this object's own the others, each
// band as a picture of its own (sorvo::ConvertPackedToYuv420).
//
// Away from the seams the result is byte for byte a whole-picture conversion's. Next to a
// seam a few rows may differ a little: libswscale's filtered path treats a band's edge as a
// picture's edge (colour rows only), and its direct BGR24 path rounds the last rows of
// every call in plain C rather than in SIMD (up to 1 in luma and colour).
//
// Threads: Convert is called by one thread at a time (an encoder's, under its lock); the
// helpers start in the constructor and are joined by the destructor. m_lock guards m_job,
// m_round, m_pending and m_stopping; a helper reads the job of the round it was woken for
// and reports back before Convert returns, so the caller's buffers are only read while
// Convert runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/PixelFormat.h"

namespace sorvo {

class BandedConversion {
 public:
  // Up to `bands` bands, so bands - 1 helpers, named after the first bytes of `name`. A
  // helper the system refuses leaves fewer bands.
  BandedConversion(int bands, const std::string& name);
  ~BandedConversion();
  BandedConversion(const BandedConversion&) = delete;
  BandedConversion& operator=(const BandedConversion&) = delete;

  // The bands a picture tall enough is cut into.
  int bands() const { return static_cast<int>(m_helpers.size()) + 1; }

  // As sorvo::ConvertPackedToYuv420, returning once every band is converted.
  void Convert(const unsigned char* source,
               int width,
               int height,
               PixelFormat format,
               uint8_t* const planes[4],
               const int linesizes[4]);

 private:
  struct Job {
    const unsigned char* source = nullptr;
    int width = 0;
    int height = 0;
    PixelFormat format = PIX_FMT_NONE;
    uint8_t* planes[4] = {};
    int linesizes[4] = {};
    int bands = 1;  // bands of this picture: fewer for a picture too short for all
  };

  static void ConvertBand(const Job& job, int band);
  void HelperLoop(int band);

  std::mutex m_lock;
  std::condition_variable m_wake;  // a new round, or stopping
  std::condition_variable m_done;  // m_pending fell to 0
  Job m_job;
  uint64_t m_round = 0;
  int m_pending = 0;  // helpers still converting this round
  bool m_stopping = false;
  std::vector<std::thread> m_helpers;  // touched by the constructor and destructor only
};

}  // namespace sorvo
