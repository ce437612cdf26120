// Scales a raw picture down into a box (keeping its shape) and encodes it as a JPEG with
// libswscale and libavcodec's MJPEG encoder. Keeps its scaler and encoder from one picture
// to the next while the sizes stay.
//
// One thread at a time (the thumbnail worker, or a benchmark).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"
#include "tools/record/console/ThumbnailSlot.h"

namespace sorvo::tools {

class JpegThumbnailer {
 public:
  // Thumbnails fit in `boxWidth` x `boxHeight`; `quality` is the encoder's quantiser, 2
  // (best) to 31.
  JpegThumbnailer(int boxWidth, int boxHeight, int quality = 5);

  // False with `error` for a picture of a format or length it cannot read, or when the
  // encoder fails. A picture without kScaleReadPadding bytes behind it is scaled from a
  // copy that has them.
  bool Make(const RawPicture& picture, std::string* jpeg, std::string* error);
  // The same for `size` bytes at `data`.
  bool Make(const uint8_t* data,
            size_t size,
            int width,
            int height,
            PixelFormat format,
            std::string* jpeg,
            std::string* error);

  // The size of the thumbnail of a width x height picture: even numbers, at least 2.
  static void FitIntoBox(int width,
                         int height,
                         int boxWidth,
                         int boxHeight,
                         int* outWidth,
                         int* outHeight);

 private:
  bool OpenEncoder(int width, int height, std::string* error);

  const int m_boxWidth;
  const int m_boxHeight;
  const int m_quality;
  ScalerPtr m_scaler;
  CodecContextPtr m_encoder;
  FramePtr m_frame;
  PacketPtr m_packet{av_packet_alloc()};
  std::vector<uint8_t> m_padded;  // a copy of a picture given without padding
  int64_t m_pictures = 0;         // the encoder wants rising time stamps
};

}  // namespace sorvo::tools
