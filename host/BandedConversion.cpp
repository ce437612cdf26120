#include "host/BandedConversion.h"

#include <pthread.h>

#include <algorithm>
#include <system_error>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "host/MediaBase.h"

namespace sorvo {

BandedConversion::BandedConversion(int bands, const std::string& name) {
  m_helpers.reserve(std::max(0, bands - 1));
  for (int band = 1; band < bands; ++band) {
    try {
      m_helpers.emplace_back([this, band, name] {
        // Linux limits thread names to 15 bytes plus the terminator.
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        HelperLoop(band);
      });
    } catch (const std::system_error&) {
      break;  // the bands started so far do the work
    }
  }
}

BandedConversion::~BandedConversion() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& helper : m_helpers)
    helper.join();
}

void BandedConversion::ConvertBand(const Job& job, int band) {
  if (band >= job.bands)
    return;
  // Bands of an even number of rows, so that every colour row belongs to one band; the
  // last takes what is left.
  const int rows = (job.height / job.bands) & ~1;
  const int top = band * rows;
  const int height = band + 1 == job.bands ? job.height - top : rows;
  int sourceLinesizes[4];
  if (av_image_fill_linesizes(
          sourceLinesizes, static_cast<AVPixelFormat>(ToAVPixelFormat(job.format)), job.width) < 0)
    return;
  uint8_t* const planes[4] = {job.planes[0] + static_cast<ptrdiff_t>(top) * job.linesizes[0],
                              job.planes[1] + static_cast<ptrdiff_t>(top / 2) * job.linesizes[1],
                              job.planes[2] + static_cast<ptrdiff_t>(top / 2) * job.linesizes[2],
                              nullptr};
  ConvertPackedToYuv420(job.source + static_cast<ptrdiff_t>(top) * sourceLinesizes[0], job.width,
                        height, job.format, planes, job.linesizes);
}

void BandedConversion::Convert(const unsigned char* source,
                               int width,
                               int height,
                               PixelFormat format,
                               uint8_t* const planes[4],
                               const int linesizes[4]) {
  if (source == nullptr || width <= 0 || height <= 0 || ToAVPixelFormat(format) < 0)
    return;
  Job job;
  job.source = source;
  job.width = width;
  job.height = height;
  job.format = format;
  for (int i = 0; i < 3; ++i) {
    job.planes[i] = planes[i];
    job.linesizes[i] = linesizes[i];
  }
  // At least two rows a band; a picture with fewer is converted in fewer bands. On an odd
  // height the whole picture's colour rows are scaled by a factor a little off 2, which
  // bands of even heights would not reproduce: such a picture is converted whole.
  job.bands = height % 2 != 0 ? 1 : std::max(1, std::min(bands(), height / 2));
  if (job.bands == 1) {
    ConvertBand(job, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_job = job;
    m_pending = static_cast<int>(m_helpers.size());
    ++m_round;
  }
  m_wake.notify_all();
  ConvertBand(job, 0);
  std::unique_lock<std::mutex> hold(m_lock);
  m_done.wait(hold, [this] { return m_pending == 0; });
}

void BandedConversion::HelperLoop(int band) {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> hold(m_lock);
  for (;;) {
    m_wake.wait(hold, [&] { return m_stopping || m_round != seen; });
    if (m_stopping)
      return;
    seen = m_round;
    const Job job = m_job;
    hold.unlock();
    ConvertBand(job, band);
    hold.lock();
    if (--m_pending == 0)
      m_done.notify_one();
  }
}

}  // namespace sorvo
