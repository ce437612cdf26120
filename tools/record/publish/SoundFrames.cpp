#include "tools/record/publish/SoundFrames.h"

#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

// How far a buffer's capture time may be from where the sample count puts it.
constexpr double kTolerance = 0.1;

}  // namespace

SoundFrames::~SoundFrames() {
  if (m_fifo != nullptr)
    av_audio_fifo_free(m_fifo);
}

bool SoundFrames::Open(int inRate,
                       int channels,
                       int outRate,
                       AVSampleFormat outFormat,
                       int frameSize,
                       std::string* error) {
  m_inRate = inRate;
  m_outRate = outRate;
  m_channels = channels;
  m_outFormat = outFormat;
  m_frameSize = frameSize;
  AVChannelLayout layout;
  av_channel_layout_default(&layout, channels);
  SwrContext* resampler = nullptr;
  int result = swr_alloc_set_opts2(&resampler, &layout, outFormat, outRate, &layout,
                                   AV_SAMPLE_FMT_S16, inRate, 0, nullptr);
  m_resampler.reset(resampler);
  if (result >= 0)
    result = swr_init(m_resampler.get());
  if (result < 0) {
    *error = "cannot convert the sound for the AAC encoder: " + AvErrorText(result);
    return false;
  }
  m_fifo = av_audio_fifo_alloc(outFormat, channels, 4 * frameSize);
  m_converted.reset(av_frame_alloc());
  if (m_fifo == nullptr || !m_converted) {
    *error = "out of memory for the sound's conversion";
    return false;
  }
  return true;
}

void SoundFrames::Place(double time, int64_t at) {
  m_placed = true;
  m_placedTime = time;
  m_inSince = 0;
  av_audio_fifo_reset(m_fifo);
  m_fifoStart = at;
}

void SoundFrames::Add(double time, const int16_t* samples, int frames) {
  if (frames <= 0 || !std::isfinite(time))
    return;
  const int64_t at = std::llround(time * m_outRate);
  const double expected = m_placedTime + static_cast<double>(m_inSince) / m_inRate;
  if (!m_placed) {
    Place(time, at);
  } else if (std::fabs(time - expected) > kTolerance) {
    m_replacedSeconds += std::fabs(time - expected);
    Place(time, at);
  }
  m_inSince += frames;
  // Samples that would go out before the end of what was already handed out repeat an
  // instant already sent: they are left out.
  int skip = 0;
  if (m_fifoStart + av_audio_fifo_size(m_fifo) < m_emittedEnd) {
    const int64_t behind = m_emittedEnd - m_fifoStart - av_audio_fifo_size(m_fifo);
    skip = static_cast<int>(std::min<int64_t>(frames, behind * m_inRate / m_outRate));
    if (skip >= frames)
      return;
    m_fifoStart += static_cast<int64_t>(skip) * m_outRate / m_inRate;
  }
  const int16_t* in = samples + static_cast<ptrdiff_t>(skip) * m_channels;
  const int inFrames = frames - skip;
  const int capacity = swr_get_out_samples(m_resampler.get(), inFrames);
  if (capacity <= 0)
    return;
  av_frame_unref(m_converted.get());
  m_converted->format = m_outFormat;
  m_converted->nb_samples = capacity;
  av_channel_layout_default(&m_converted->ch_layout, m_channels);
  if (av_frame_get_buffer(m_converted.get(), 0) < 0)
    return;
  const uint8_t* inPlanes[] = {reinterpret_cast<const uint8_t*>(in)};
  const int made = swr_convert(m_resampler.get(), m_converted->data, capacity, inPlanes, inFrames);
  if (made <= 0)
    return;
  if (m_fifoStart + av_audio_fifo_size(m_fifo) < m_emittedEnd)
    m_fifoStart = m_emittedEnd - av_audio_fifo_size(m_fifo);
  av_audio_fifo_write(m_fifo, reinterpret_cast<void**>(m_converted->data), made);
}

FramePtr SoundFrames::Next() {
  if (!m_placed || av_audio_fifo_size(m_fifo) < m_frameSize)
    return nullptr;
  FramePtr frame(av_frame_alloc());
  if (!frame)
    return nullptr;
  frame->format = m_outFormat;
  frame->nb_samples = m_frameSize;
  frame->sample_rate = m_outRate;
  av_channel_layout_default(&frame->ch_layout, m_channels);
  if (av_frame_get_buffer(frame.get(), 0) < 0)
    return nullptr;
  av_audio_fifo_read(m_fifo, reinterpret_cast<void**>(frame->data), m_frameSize);
  frame->pts = m_fifoStart;
  m_fifoStart += m_frameSize;
  m_emittedEnd = m_fifoStart;
  return frame;
}

}  // namespace sorvo::tools
