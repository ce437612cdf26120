#include "tools/record/sources/MediaSound.h"

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "tools/record/sources/SoundFormat.h"

namespace sorvo::tools {

std::unique_ptr<MediaSound> MediaSound::Open(const std::string& name,
                                             std::string* error,
                                             const std::atomic<bool>* stop,
                                             bool knownFormat) {
  std::unique_ptr<MediaSound> sound(new MediaSound());
  if (!sound->m_input.Open(name, AVMEDIA_TYPE_AUDIO, stop ? stop : sound->stopFlag(), error,
                           knownFormat))
    return nullptr;
  const AVCodecContext* decoder = sound->m_input.decoder();
  AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
  // A stream that names only its channel count gets the usual layout for that count.
  AVChannelLayout input{};
  if (decoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    av_channel_layout_default(&input, decoder->ch_layout.nb_channels);
  else
    av_channel_layout_copy(&input, &decoder->ch_layout);
  SwrContext* raw = nullptr;
  const int result = swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_S16, kSoundRate, &input,
                                         decoder->sample_fmt, decoder->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&input);
  sound->m_resampler.reset(raw);
  if (result < 0 || swr_init(raw) < 0) {
    *error = "its sound cannot be converted";
    return nullptr;
  }
  char text[96];
  std::snprintf(text, sizeof(text), " (%s, %d Hz, %d channels)", sound->m_input.kindName(),
                decoder->sample_rate, decoder->ch_layout.nb_channels);
  sound->m_description = name + text;
  sound->m_frameRate = kSoundRate / kSoundBufferSamples;
  return sound;
}

std::string MediaSound::Describe() const { return m_description; }

bool MediaSound::Convert(const AVFrame* frame) {
  const int room = swr_get_out_samples(m_resampler.get(), frame->nb_samples);
  if (room < 0) return false;
  const size_t bytesPerSample = kSoundChannels * kSoundBytesPerSample;
  const size_t before = m_pending.size();
  m_pending.resize(before + static_cast<size_t>(room) * bytesPerSample);
  uint8_t* out = m_pending.data() + before;
  const int made = swr_convert(m_resampler.get(), &out, room,
                               const_cast<const uint8_t**>(frame->extended_data),
                               frame->nb_samples);
  if (made < 0) {
    m_pending.resize(before);
    return false;
  }
  m_pending.resize(before + static_cast<size_t>(made) * bytesPerSample);
  return true;
}

bool MediaSound::Next(std::vector<uint8_t>* data, double* due) {
  const size_t bufferBytes = kSoundBufferSamples * kSoundChannels * kSoundBytesPerSample;
  while (m_pending.size() < bufferBytes) {
    double time = 0;
    if (!m_input.NextFrame(m_frame.get(), &time, &m_error)) return false;
    if (!Convert(m_frame.get())) {
      m_error = "its sound cannot be converted";
      return false;
    }
  }
  data->assign(m_pending.begin(), m_pending.begin() + bufferBytes);
  m_pending.erase(m_pending.begin(), m_pending.begin() + bufferBytes);
  *due = static_cast<double>(m_samplesOut) / kSoundRate;
  m_samplesOut += kSoundBufferSamples;
  return true;
}

}  // namespace sorvo::tools
