#include "fuzz/StreamHeaders.h"

#include <array>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFEncoder.h"
#include "fuzz/FuzzTargets.h"
#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::fuzz {
namespace {

class HeaderGrabber : public FFEncoder {
 public:
  std::vector<uint8_t> headers;

 protected:
  void OnEncode(AVPacket* packet) override {
    if (headers.empty())
      headers = tools::Mpeg4DecoderConfig(packet->data, static_cast<size_t>(packet->size));
  }
};

std::vector<uint8_t> MakeHeaders(int width, int height) {
  HeaderGrabber encoder;
  Require(encoder.Open(width, height, PIX_FMT_YUV420P, 25, 200000, "fuzz") == 1,
          "the encoder opens for a small picture");
  const int chroma = ((width + 1) / 2) * ((height + 1) / 2);
  std::vector<uint8_t> grey(static_cast<size_t>(width) * height + 2 * chroma, 128);
  encoder.Encode(0, 0, grey.data(), static_cast<long>(grey.size()));
  encoder.Close();
  Require(!encoder.headers.empty(), "a key frame carries the stream headers");
  return std::move(encoder.headers);
}

}  // namespace

int HeaderWidth(int index) { return 8 + 14 * (index & 7); }
int HeaderHeight(int index) { return 8 + 14 * ((index >> 3) & 7); }

const std::vector<uint8_t>& StreamHeaders(int index) {
  static std::mutex lock;
  static std::array<std::vector<uint8_t>, kHeaderSizes> made;
  std::lock_guard<std::mutex> hold(lock);
  std::vector<uint8_t>& headers = made[static_cast<size_t>(index) % kHeaderSizes];
  if (headers.empty())
    headers = MakeHeaders(HeaderWidth(index), HeaderHeight(index));
  return headers;
}

}  // namespace sorvo::fuzz
