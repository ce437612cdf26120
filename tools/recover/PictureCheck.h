// Decodes one video stream's pictures as they come, to tell which decode cleanly. The
// MPEG-4 decoder does not refuse a damaged picture: it conceals what it could not read and
// hands the picture out all the same, so a picture counts as clean only when the decoder
// reports nothing concealed and finds no error in the bitstream (a slice that ends before
// or after the picture does among them). A picture cut short, damaged, or of another
// stream's size is not clean. One thread.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class PictureCheck {
 public:
  PictureCheck();
  PictureCheck(const PictureCheck&) = delete;
  PictureCheck& operator=(const PictureCheck&) = delete;

  // False when FFmpeg has no MPEG-4 decoder.
  bool ok() const { return static_cast<bool>(m_decoder); }

  enum class Result { kClean, kDamaged, kNoPicture };
  // Decodes one picture (with any headers ahead of it); the decoder keeps it as the
  // reference for the next.
  Result Decode(const uint8_t* data, size_t size);

  // The size of the last clean picture.
  int width() const { return m_width; }
  int height() const { return m_height; }

 private:
  CodecContextPtr m_decoder;
  PacketPtr m_packet{av_packet_alloc()};
  FramePtr m_frame{av_frame_alloc()};
  int m_width = 0;
  int m_height = 0;
};

}  // namespace sorvo::tools
