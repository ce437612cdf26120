#include "codec/Mpeg4KeyFrameCheck.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"
#include "host/MediaBase.h"
#include "support/CodecMutexes.h"

namespace sorvo {
namespace {

// Start codes: 00 00 01 and one byte that says what follows.
constexpr uint8_t kPictureCode = 0xB6;
constexpr uint8_t kGroupCode = 0xB3;
constexpr uint8_t kLastLayerCode = 0x2F;

const uint8_t* FindStartCode(const uint8_t* begin, const uint8_t* end, uint8_t code) {
  const std::array<uint8_t, 4> pattern{0, 0, 1, code};
  return std::search(begin, end, pattern.begin(), pattern.end());
}

// Whether the headers hold a video object layer (start codes 00 00 01 20 to 2F).
bool HoldsLayer(const std::vector<uint8_t>& headers) {
  for (size_t i = 0; i + 3 < headers.size(); ++i)
    if (headers[i] == 0 && headers[i + 1] == 0 && headers[i + 2] == 1 && headers[i + 3] >= 0x20 &&
        headers[i + 3] <= kLastLayerCode)
      return true;
  return false;
}

std::string Size(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

std::vector<uint8_t> Mpeg4StreamHeaders(const uint8_t* data, size_t size) {
  if (data == nullptr)
    return {};
  const uint8_t* end = data + size;
  const uint8_t* picture = FindStartCode(data, end, kPictureCode);
  if (picture == end)
    return {};
  const uint8_t* last = std::min(picture, FindStartCode(data, picture, kGroupCode));
  return std::vector<uint8_t>(data, last);
}

std::string CheckMpeg4KeyFrame(const uint8_t* keyFrame,
                               size_t size,
                               int width,
                               int height,
                               int frameRate,
                               std::vector<uint8_t>* headers) {
  std::vector<uint8_t> found = Mpeg4StreamHeaders(keyFrame, size);
  if (!HoldsLayer(found))
    return "its key frame carries no MPEG-4 Part 2 stream headers (another codec, or a "
           "packet that is no key frame)";

  InitFFmpeg();
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  CodecContextPtr context(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
  PacketPtr packet(av_packet_alloc());
  FramePtr picture(av_frame_alloc());
  if (!context || !packet || !picture)
    return "no MPEG-4 Part 2 decoder to check it with";
  {
    std::lock_guard<std::mutex> hold(VideoDecoderMutex());
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
      return "no MPEG-4 Part 2 decoder to check it with";
  }
  if (av_new_packet(packet.get(), static_cast<int>(size)) < 0)
    return "its key frame is too large to check";
  std::copy(keyFrame, keyFrame + size, packet->data);
  packet->flags |= AV_PKT_FLAG_KEY;
  // Without B-frames a picture comes out of its own packet; draining gives any held back.
  const bool sent = avcodec_send_packet(context.get(), packet.get()) >= 0;
  const bool decoded = sent && (avcodec_receive_frame(context.get(), picture.get()) >= 0 ||
                                (avcodec_send_packet(context.get(), nullptr) >= 0 &&
                                 avcodec_receive_frame(context.get(), picture.get()) >= 0));
  const int decodedWidth = decoded ? picture->width : 0;
  const int decodedHeight = decoded ? picture->height : 0;
  const AVRational rate = context->framerate;
  {
    std::lock_guard<std::mutex> hold(VideoDecoderMutex());
    context.reset();
  }
  if (!decoded)
    return "its key frame does not decode";
  if (decodedWidth != width || decodedHeight != height)
    return "its pictures are " + Size(decodedWidth, decodedHeight) + ", this sink records " +
           Size(width, height);
  // The layer's time resolution over its fixed increment; a layer without a fixed rate
  // counts one tick per picture, as this library's encoder writes it.
  const double declared = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
  if (std::fabs(declared - frameRate) > 1e-6)
    return "its headers declare " + std::to_string(declared) +
           " pictures a second, this sink "
           "records " +
           std::to_string(frameRate);
  *headers = std::move(found);
  return {};
}

}  // namespace sorvo
