// Decodes the MPEG-4 Part 2 packets a sink's server sends, one packet at a time, as
// sorvo-view shows them and the recorder's sorvo:// cameras record them. One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class Mpeg4Decoder {
 public:
  // False with `error` set when libavcodec has no MPEG-4 decoder to open.
  bool Open(std::string* error);
  // Decodes one packet and hands every picture that comes out to `picture`, valid during
  // the call. False when the decoder refused the packet.
  bool Decode(const uint8_t* data, size_t size, const std::function<void(const AVFrame*)>& picture);

 private:
  CodecContextPtr m_decoder;
  PacketPtr m_packet{av_packet_alloc()};
  FramePtr m_frame{av_frame_alloc()};
};

}  // namespace sorvo::tools
