// Follows a stream of bare MP3 bytes as it arrives in pieces of any length: cuts it into
// frames with FFmpeg's parser and decodes them, to tell the user what was received (frames,
// seconds of sound, its format) and whether it decodes. One thread.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class Mp3Tally {
 public:
  Mp3Tally();
  // False when FFmpeg's MP3 parser or decoder is missing.
  bool ok() const { return m_parser && m_decoder; }
  void Add(const uint8_t* data, size_t size);
  // Decodes what the parser still holds.
  void Finish();

  long long frames() const { return m_frames; }
  long long samples() const { return m_samples; }  // per channel
  long long decodeErrors() const { return m_decodeErrors; }
  int sampleRate() const { return m_sampleRate; }
  int channels() const { return m_channels; }
  double seconds() const { return m_sampleRate > 0 ? double(m_samples) / m_sampleRate : 0; }

 private:
  void Decode(const uint8_t* frame, int size);

  ParserPtr m_parser;
  CodecContextPtr m_decoder;
  PacketPtr m_packet{av_packet_alloc()};
  FramePtr m_frame{av_frame_alloc()};
  long long m_frames = 0;
  long long m_samples = 0;
  long long m_decodeErrors = 0;
  int m_sampleRate = 0;
  int m_channels = 0;
};

}  // namespace sorvo::tools
