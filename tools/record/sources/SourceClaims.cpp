#include "tools/record/sources/SourceClaims.h"

#include <cmath>

extern "C" {
#include <libavutil/mem.h>
}

#include "tools/common/TextTable.h"

namespace sorvo::tools {
namespace {

std::string Reason(const std::string& claim, const std::string& most) {
  return "it " + claim + "; a source may " + most;
}

std::string StreamClaims(const AVStream* stream) {
  const AVCodecParameters* par = stream->codecpar;
  const std::string which = "stream " + std::to_string(stream->index + 1);
  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const long long pixels = static_cast<long long>(par->width) * par->height;
    if (par->width > kMostSourceSide || par->height > kMostSourceSide || pixels > kMostSourcePixels)
      return Reason("declares pictures of " + FormatCount(par->width) + " x " +
                        FormatCount(par->height) + " (" + which + ")",
                    "send at most 8192 x 4320 (or 4320 x 8192)");
    for (const AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate})
      if (rate.num > 0 && rate.den > 0 && av_q2d(rate) > kMostSourceFrameRate)
        return Reason("declares " + FormatCount(std::llround(av_q2d(rate))) +
                          " pictures a second (" + which + ")",
                      "send at most " + FormatFixed(kMostSourceFrameRate, 0));
  } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
    if (par->sample_rate > kMostSourceSampleRate)
      return Reason("declares sound at " + FormatCount(par->sample_rate) + " Hz (" + which + ")",
                    "send at most " + FormatCount(kMostSourceSampleRate) + " Hz");
    if (par->ch_layout.nb_channels > kMostSourceChannels)
      return Reason(
          "declares " + FormatCount(par->ch_layout.nb_channels) + " sound channels (" + which + ")",
          "send at most " + FormatCount(kMostSourceChannels));
  }
  return "";
}

}  // namespace

void LimitSourceStreams(AVFormatContext* input) {
  input->max_streams = kMostSourceStreams + 1;
}

std::string ExcessiveClaims(const AVFormatContext* input) {
  if (input->nb_streams > static_cast<unsigned>(kMostSourceStreams))
    return Reason("announces more than " + std::to_string(kMostSourceStreams) + " streams",
                  "carry at most " + std::to_string(kMostSourceStreams));
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const std::string why = StreamClaims(input->streams[i]);
    if (!why.empty())
      return why;
  }
  return "";
}

ProbeLimits::ProbeLimits(const AVFormatContext* input) : m_count(input->nb_streams) {
  m_options = static_cast<AVDictionary**>(av_calloc(m_count + 1, sizeof(AVDictionary*)));
  for (size_t i = 0; m_options != nullptr && i < m_count; ++i)
    av_dict_set_int(&m_options[i], "max_pixels", kMostSourcePixels, 0);
}

ProbeLimits::~ProbeLimits() {
  for (size_t i = 0; m_options != nullptr && i < m_count; ++i)
    av_dict_free(&m_options[i]);
  av_freep(&m_options);
}

void LimitDecoder(AVCodecContext* decoder) {
  decoder->max_pixels = kMostSourcePixels;
}

}  // namespace sorvo::tools
