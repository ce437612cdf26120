#include "codec/S16Interleaver.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace sorvo {

int S16Interleaver::Convert(const AVFrame* frame, unsigned char* out, int capacity) {
  const int channels = frame->ch_layout.nb_channels;
  if (channels <= 0 || frame->nb_samples < 0)
    return -1;
  const int64_t bytes = static_cast<int64_t>(frame->nb_samples) * channels * 2;
  if (bytes > capacity)
    return -1;
  if (frame->format == AV_SAMPLE_FMT_S16) {
    std::memcpy(out, frame->extended_data[0], static_cast<size_t>(bytes));
    return static_cast<int>(bytes);
  }
  if (!PrepareResampler(frame))
    return -1;
  uint8_t* planes[1] = {out};
  const int converted =
      swr_convert(m_pResampler.get(), planes, frame->nb_samples,
                  const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (converted < 0)
    return -1;
  return converted * channels * 2;
}

bool S16Interleaver::PrepareResampler(const AVFrame* frame) {
  if (m_pResampler && m_nFormat == frame->format && m_nRate == frame->sample_rate &&
      m_nChannels == frame->ch_layout.nb_channels)
    return true;
  m_pResampler.reset();
  SwrContext* made = nullptr;
  // libswresample only reads the layout, though this version's signature is not const.
  auto* layout = const_cast<AVChannelLayout*>(&frame->ch_layout);
  // Same rate and layout on both sides: only the sample format and interleaving change,
  // so the resampler holds nothing back between frames.
  if (swr_alloc_set_opts2(&made, layout, AV_SAMPLE_FMT_S16, frame->sample_rate, layout,
                          static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                          nullptr) < 0)
    return false;
  ResamplerPtr resampler(made);
  if (swr_init(resampler.get()) < 0)
    return false;
  m_pResampler = std::move(resampler);
  m_nFormat = frame->format;
  m_nRate = frame->sample_rate;
  m_nChannels = frame->ch_layout.nb_channels;
  return true;
}

}  // namespace sorvo
