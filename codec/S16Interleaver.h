// Turns decoded audio frames of any sample format into interleaved signed 16-bit PCM, the
// one layout the module hands on. Frames already in that layout are copied as they are;
// others go through libswresample, whose context is kept while format, rate and channel
// count stay the same.
//
// Thread-compatible: one owner calls it from one thread at a time.
#pragma once

#include "codec/FFDeleters.h"

struct AVFrame;

namespace sorvo {

class S16Interleaver {
 public:
  S16Interleaver() = default;
  S16Interleaver(const S16Interleaver&) = delete;
  S16Interleaver& operator=(const S16Interleaver&) = delete;

  // Writes the frame's samples to `out`; returns the byte count, or -1 when they would
  // not fit in `capacity` bytes or cannot be converted.
  int Convert(const AVFrame* frame, unsigned char* out, int capacity);

 private:
  bool PrepareResampler(const AVFrame* frame);

  ResamplerPtr m_pResampler;
  int m_nFormat = -1;  // source sample format of m_pResampler
  int m_nRate = 0;
  int m_nChannels = 0;
};

}  // namespace sorvo
