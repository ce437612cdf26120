// What a source may claim of the recorder: how many streams it announces, how large its
// pictures are, how fast its pictures and sound come. A broken or hostile source (an RTSP
// server announcing 3,000 streams, a stream declaring pictures of 30,000 x 30,000) would
// otherwise have libavformat and libavcodec allocate for every claim before a single
// picture is recorded, and take the machine's memory with it. Claims beyond these bounds
// refuse the source, saying which claim and what is taken.
//
// Threads: any; no state.
#pragma once

#include <cstddef>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace sorvo::tools {

// The most streams a source may carry (a camera with a few sound and data tracks).
constexpr int kMostSourceStreams = 16;
// The largest picture: 8K (8192 x 4320 and its turned shape) and anything of fewer pixels.
constexpr int kMostSourceSide = 8192;
constexpr long long kMostSourcePixels = 8192LL * 4320;
// Pictures and sound a second, and sound channels.
constexpr double kMostSourceFrameRate = 240;
constexpr int kMostSourceSampleRate = 384000;
constexpr int kMostSourceChannels = 64;

// Before the input is opened: libavformat makes no more streams than one past the most a
// source may carry (so that a source announcing more is seen to).
void LimitSourceStreams(AVFormatContext* input);

// Why the opened input claims more than a source may, looking at what is known so far (its
// streams, their declared sizes and rates); empty when nothing is.
std::string ExcessiveClaims(const AVFormatContext* input);

// The options the input's streams are probed and decoded with, one dictionary per stream
// (avformat_find_stream_info's second argument): decoders refuse pictures beyond the
// largest. Owns them.
class ProbeLimits {
 public:
  explicit ProbeLimits(const AVFormatContext* input);
  ~ProbeLimits();
  ProbeLimits(const ProbeLimits&) = delete;
  ProbeLimits& operator=(const ProbeLimits&) = delete;

  AVDictionary** get() { return m_options; }

 private:
  AVDictionary** m_options = nullptr;
  size_t m_count = 0;
};

// For the decoder a source's frames are decoded with.
void LimitDecoder(AVCodecContext* decoder);

}  // namespace sorvo::tools
