#include "tools/record/SoundClockKeeper.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace sorvo::tools {

SoundClockKeeper::SoundClockKeeper(IGrabberCallBack* next,
                                   const SessionClock& clock,
                                   int rate,
                                   int channels,
                                   bool padLateStart)
    : m_next(next),
      m_clock(clock),
      m_rate(rate),
      m_bytesPerSample(2 * channels),
      m_padLateStart(padLateStart) {
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  SwrContext* raw = nullptr;
  int result = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                                   AV_SAMPLE_FMT_S16, rate, 0, nullptr);
  m_resampler.reset(raw);
  // Resampling from the start, so that the first compensation does not start it afresh
  // in the middle of the sound.
  if (result >= 0)
    result = av_opt_set_int(raw, "flags", SWR_FLAG_RESAMPLE, 0);
  m_failed = result < 0 || swr_init(raw) < 0;
  av_channel_layout_uninit(&layout);
}

int SoundClockKeeper::OnBuffer(int id,
                               double time,
                               unsigned char* data,
                               long length,
                               int width,
                               int height,
                               PixelFormat pixelFormat) {
  if (m_next == nullptr)
    return 1;
  if (data == nullptr || length <= 0)
    return m_next->OnBuffer(id, time, data, length, width, height, pixelFormat);
  const double arrival = m_clock.Now();
  if (!m_started) {
    m_firstTime = time;
    m_id = id;
    // A source placed at the session's start that answered later (a network sound) begins
    // with the silence before its first sound, so that its sound stays where it was heard.
    const long long pad =
        m_padLateStart
            ? std::llround(std::clamp(arrival - time, 0.0, kLongestSilenceBefore) * m_rate)
            : 0;
    const std::vector<uint8_t> silence(static_cast<size_t>(pad) * m_bytesPerSample);
    if (pad > 0 && Keep(silence.data(), static_cast<long>(silence.size()), time, &m_buffer))
      Hold(0);
  }
  const long long before = m_out;
  if (!Keep(data, length, arrival, &m_buffer)) {
    HandOnHeld();
    return m_next->OnBuffer(id, time, data, length, width, height, pixelFormat);
  }
  return Hold(before);
}

void SoundClockKeeper::Flush() {
  HandOnHeld();
}

int SoundClockKeeper::Hold(long long before) {
  const int taken = HandOnHeld();
  m_held.swap(m_buffer);
  m_heldAt = before;
  return taken;
}

int SoundClockKeeper::HandOnHeld() {
  const double end = m_end.load(std::memory_order_relaxed);
  const double last = (end - m_firstTime) * m_rate - static_cast<double>(m_heldAt);
  if (last < static_cast<double>(m_held.size() / m_bytesPerSample))
    m_held.resize(static_cast<size_t>(std::max(0.0, std::ceil(last))) * m_bytesPerSample);
  if (m_held.empty())
    return 1;
  // Stamped where the samples handed on put it, which is the session's clock.
  const int taken =
      m_next->OnBuffer(m_id, m_firstTime + static_cast<double>(m_heldAt) / m_rate, m_held.data(),
                       static_cast<long>(m_held.size()), 0, 0, PIX_FMT_NONE);
  m_held.clear();
  return taken;
}

bool SoundClockKeeper::Keep(const uint8_t* pcm,
                            long length,
                            double arrival,
                            std::vector<uint8_t>* out) {
  if (m_failed)
    return false;
  const int samples = static_cast<int>(length / m_bytesPerSample);
  if (!m_started) {
    m_started = true;
    m_firstArrival = arrival;
    m_windowEnd = static_cast<long long>(kWindowSeconds * m_rate);
  }
  const double lateness = arrival - m_firstArrival - static_cast<double>(m_in) / m_rate;
  if (m_windowLeastAt < 0 || lateness < m_windowLeast) {
    m_windowLeast = lateness;
    m_windowLeastAt = m_in;
  }
  const int room = swr_get_out_samples(m_resampler.get(), samples);
  if (room < 0) {
    m_failed = true;
    return false;
  }
  out->resize(static_cast<size_t>(room) * m_bytesPerSample);
  uint8_t* to = out->data();
  const int made = swr_convert(m_resampler.get(), &to, room, &pcm, samples);
  if (made < 0) {
    m_failed = true;
    return false;
  }
  out->resize(static_cast<size_t>(made) * m_bytesPerSample);
  m_in += samples;
  m_out += made;
  m_adjusted.store(m_out + swr_get_delay(m_resampler.get(), m_rate) - m_in,
                   std::memory_order_relaxed);
  if (m_in >= m_windowEnd) {
    EndWindow();
    m_windowEnd = m_in + static_cast<long long>(kWindowSeconds * m_rate);
  }
  return true;
}

void SoundClockKeeper::EndWindow() {
  const long long least = m_windowLeastAt;
  m_windowLeastAt = -1;
  if (m_firstLeastAt < 0) {
    m_firstLeast = m_windowLeast;
    m_firstLeastAt = least;
    return;
  }
  const double span = static_cast<double>(least - m_firstLeastAt) / m_rate;
  if (span < kWindowSeconds / 2)
    return;
  const double drift = std::clamp((m_windowLeast - m_firstLeast) / span, -kMostDrift, kMostDrift);
  m_drift.store(drift, std::memory_order_relaxed);
  // By the end of the next window the count handed on should be the session's time since
  // the first sample: what the source's count says, and what it gained or lost on the
  // way. The first windows also catch up the drift from before it was measured.
  const long long window = static_cast<long long>(kWindowSeconds * m_rate);
  const double next = static_cast<double>(m_in + window);
  const double wanted = next * (1 + drift) - static_cast<double>(m_out + window);
  const double most = 2 * kMostDrift * static_cast<double>(window);
  const int delta = static_cast<int>(std::clamp(wanted, -most, most));
  if (swr_set_compensation(m_resampler.get(), delta, static_cast<int>(window)) < 0)
    m_failed = true;
}

}  // namespace sorvo::tools
