// FFAudioDecoder (MP3, with its parser) on arbitrary bytes. A packet whose control byte has
// bit 7 set is preceded by closing and reopening the decoder, as an owner does between
// streams; bit 6 sends the packet through Decode instead of DecodePacket.
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include "codec/FFAudioDecoder.h"
#include "codec/FFDeleters.h"
#include "fuzz/ExactCopy.h"
#include "fuzz/FuzzTargets.h"
#include "fuzz/PacketSplit.h"

namespace sorvo::fuzz {
namespace {

constexpr size_t kPacketLimit = 32;

class CheckingAudioDecoder : public FFAudioDecoder {
 public:
  long long frames = 0;

  int OnDecode(AVPacket* pcm) override {
    Require(pcm->data != nullptr && pcm->size > 0 && pcm->size <= kSampleCapacity,
            "decoded PCM lies within the sample area");
    WAVEFORMATEX format{};
    Require(GetWaveFormat(&format) == 1, "the format is known once PCM comes out");
    Require(format.nChannels > 0 && pcm->size % format.nBlockAlign == 0,
            "decoded PCM is whole sample frames");
    ReadBothEnds(pcm->data, static_cast<size_t>(pcm->size));
    ++frames;
    return 1;
  }
};

}  // namespace

long long FuzzAudioDecoder(const uint8_t* data, size_t size) {
  // The codec library's complaints about broken input would only slow the run down.
  av_log_set_level(AV_LOG_QUIET);
  CheckingAudioDecoder decoder;
  Require(decoder.Open(nullptr, AV_CODEC_ID_MP3) == 1, "the MP3 decoder opens");
  PacketPtr packet(av_packet_alloc());
  for (const FuzzPacket& piece : SplitPackets(data, size, kPacketLimit)) {
    if (piece.control & 0x80) {
      decoder.Close();
      Require(decoder.Open(nullptr, AV_CODEC_ID_MP3) == 1, "the MP3 decoder opens again");
    }
    // The caller's bytes carry no padding: the decoder must not read past them.
    const std::unique_ptr<uint8_t[]> exact = ExactCopy(piece.data, piece.size);
    const int size = static_cast<int>(piece.size);
    if (piece.control & 0x40) {
      decoder.Decode(exact.get(), size);
      continue;
    }
    packet->data = exact.get();
    packet->size = size;
    const int result = decoder.DecodePacket(packet.get());
    Require(packet->data + packet->size == exact.get() + size && packet->size >= 0,
            "the packet advances within its own bytes");
    Require(result == 0 || (result == 1 && packet->size == 0),
            "DecodePacket gives 0, or 1 with the packet used up");
    packet->data = nullptr;
    packet->size = 0;
  }
  decoder.Close();
  return decoder.frames;
}

}  // namespace sorvo::fuzz
