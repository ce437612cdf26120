// FFDecoder::DecodePacket on arbitrary bytes. Each packet's control byte may put the stream
// headers of a small picture size ahead of its bytes (bit 7 set; bits 0-5 pick the size),
// so that one input can declare a size, decode, and change size midway.
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "codec/FFDeleters.h"
#include "fuzz/ExactCopy.h"
#include "fuzz/FuzzTargets.h"
#include "fuzz/PacketSplit.h"
#include "fuzz/StreamHeaders.h"
#include "host/PixelFormat.h"
#include "preview/FFDecoder.h"

namespace sorvo::fuzz {
namespace {

constexpr size_t kPacketLimit = 24;

class CheckingDecoder : public FFDecoder {
 public:
  long long pictures = 0;

  void OnDecodedFrame(unsigned char* picture, int size) override {
    const int width = GetWidth();
    const int height = GetHeight();
    Require(width > 0 && height > 0 && picture != nullptr, "a picture has a size");
    Require(size == PictureSize(PIX_FMT_YUV420P, width, height),
            "a picture is one whole YUV 4:2:0 buffer");
    ReadBothEnds(picture, static_cast<size_t>(size));
    ++pictures;
  }
};

}  // namespace

long long FuzzVideoDecoder(const uint8_t* data, size_t size) {
  // The codec library's complaints about broken input would only slow the run down.
  av_log_set_level(AV_LOG_QUIET);
  CheckingDecoder decoder;
  Require(decoder.Open() == 1, "the decoder opens");
  PacketPtr packet(av_packet_alloc());
  std::vector<uint8_t> bytes;
  for (const FuzzPacket& piece : SplitPackets(data, size, kPacketLimit)) {
    bytes.clear();
    if (piece.control & 0x80) {
      const std::vector<uint8_t>& headers = StreamHeaders(piece.control & 0x3F);
      bytes.assign(headers.begin(), headers.end());
    }
    bytes.insert(bytes.end(), piece.data, piece.data + piece.size);
    // The caller's bytes carry no padding: the decoder must not read past them.
    const std::unique_ptr<uint8_t[]> exact = ExactCopy(bytes.data(), bytes.size());
    packet->data = exact.get();
    packet->size = static_cast<int>(bytes.size());
    decoder.DecodePacket(packet.get());
    packet->data = nullptr;
    packet->size = 0;
  }
  decoder.Close();
  return decoder.pictures;
}

}  // namespace sorvo::fuzz
