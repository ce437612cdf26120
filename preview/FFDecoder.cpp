#include "preview/FFDecoder.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include "host/MediaBase.h"
#include "host/TickCount.h"
#include "support/CodecMutexes.h"
#include "support/LogF.h"

namespace {

constexpr uint32_t kRateReportPeriodMs = 10000;

// Where the next "00 00 01" start code prefix begins at or after `from`; `size` if none.
// Compressed data holds few bytes of 1, and memchr skips to them fast.
size_t FindStartCode(const uint8_t* data, size_t from, size_t size) {
  for (size_t one = from + 2; one < size; ++one) {
    const void* found = std::memchr(data + one, 1, size - one);
    if (found == nullptr)
      return size;
    one = static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
    if (data[one - 1] == 0 && data[one - 2] == 0)
      return one - 2;
  }
  return size;
}

// The end of the picture unit that begins at `begin`: the first start code after the unit's
// picture (VOP) start code, so that the headers before a picture travel with it; slice start
// codes belong to their picture. A unit without a picture runs to the end of the packet.
//
// The MPEG-4 parser draws the same lines, but it carries the last bytes of one packet into
// the next even after the final call that releases a packet's last picture; when a start
// code then seems to straddle two packets it reads before its own buffer. Cutting each
// packet on its own carries nothing over.
size_t PictureUnitEnd(const uint8_t* data, size_t begin, size_t size) {
  constexpr uint8_t kPictureStart = 0xB6;
  constexpr uint8_t kSliceStart = 0xB7;
  size_t code = begin;
  for (;; code += 3) {
    code = FindStartCode(data, code, size);
    if (code + 3 >= size)
      return size;
    if (data[code + 3] == kPictureStart)
      break;
  }
  for (code += 4;; code += 3) {
    code = FindStartCode(data, code, size);
    if (code + 3 >= size)
      return size;
    if (data[code + 3] != kSliceStart)
      return code;
  }
}

// Copies `rows` rows of `width` bytes to `destination` with no gaps between them. Rows that
// already lie back to back go in one copy, a good deal faster than one copy per row.
void CopyPlane(uint8_t* destination, const uint8_t* source, int linesize, int width, int rows) {
  if (linesize == width) {
    std::memcpy(destination, source, static_cast<size_t>(width) * rows);
    return;
  }
  av_image_copy_plane(destination, width, source, linesize, width, rows);
}

void PrintDecodeError(int delivered) {
  std::fprintf(stderr, "Error while decoding frame %d\n", delivered);
}

}  // namespace

FFDecoder::FFDecoder() = default;

FFDecoder::~FFDecoder() {
  FFDecoder::Close();
}

void FFDecoder::OnDecodedFrame(unsigned char* /*picture*/, int /*size*/) {}

int FFDecoder::Open() {
  CSingleLock hold(m_lock);
  if (m_pCodecContext)
    return 1;
  std::lock_guard<std::mutex> codecHold(sorvo::VideoDecoderMutex());
  InitFFmpeg();

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  if (codec == nullptr) {
    std::fputs("m_pAVCodec not found\n", stderr);
    return 0;
  }
  // No truncated-input mode: the codec takes one whole picture per packet (it silently
  // drops a second one), so DecodePacket cuts packets into pictures itself.
  sorvo::CodecContextPtr context(avcodec_alloc_context3(codec));
  sorvo::FramePtr picture(av_frame_alloc());
  sorvo::PacketPtr unit(av_packet_alloc());
  if (!context || !picture || !unit) {
    std::fputs("could not open m_pAVCodec\n", stderr);
    return 0;
  }
  context->width = 0;  // learnt from the stream
  context->height = 0;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    std::fputs("could not open m_pAVCodec\n", stderr);
    return 0;
  }

  m_pAVCodec = codec;
  m_pCodecContext = std::move(context);
  m_pPicture = std::move(picture);
  m_pUnit = std::move(unit);
  m_eOutputFormat = PIX_FMT_YUV420P;
  m_bFirstPicture = 0;
  return 1;
}

int FFDecoder::Close() {
  CSingleLock hold(m_lock);
  {
    std::lock_guard<std::mutex> codecHold(sorvo::VideoDecoderMutex());
    m_pCodecContext.reset();
    m_pAVCodec = nullptr;
    m_pPicture.reset();
    m_pUnit.reset();
  }
  m_pPictureBuffer.reset();
  return 1;
}

void FFDecoder::DecodePacket(AVPacket* packet) {
  if (!m_pPicture || packet == nullptr || packet->data == nullptr || packet->size < 1 ||
      packet->size >= kPacketSizeLimit)
    return;

  // The codec never reads the caller's bytes: avcodec_send_packet copies a packet that has
  // no buffer of its own into a padded one. The cutting stays within the packet.
  const uint8_t* input = packet->data;
  const size_t size = static_cast<size_t>(packet->size);
  int delivered = 0;
  for (size_t begin = 0; begin < size;) {
    const size_t end = PictureUnitEnd(input, begin, size);  // always past `begin`
    if (!DecodeUnit(input + begin, static_cast<int>(end - begin), &delivered))
      return;
    begin = end;
  }
}

bool FFDecoder::DecodeUnit(const uint8_t* data, int size, int* delivered) {
  m_pUnit->data = const_cast<uint8_t*>(data);
  m_pUnit->size = size;
  const int sent = avcodec_send_packet(m_pCodecContext.get(), m_pUnit.get());
  m_pUnit->data = nullptr;
  m_pUnit->size = 0;
  if (sent < 0) {
    PrintDecodeError(*delivered);
    return false;
  }
  for (;;) {
    const int received = avcodec_receive_frame(m_pCodecContext.get(), m_pPicture.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
      return true;
    const bool laidOut = received >= 0 && DeliverPicture();
    av_frame_unref(m_pPicture.get());
    if (!laidOut) {
      PrintDecodeError(*delivered);
      return false;
    }
    ++*delivered;
  }
}

bool FFDecoder::DeliverPicture() {
  const AVFrame* picture = m_pPicture.get();
  // Only the studio profile decodes to anything else, and copying that as 4:2:0 would
  // show garbage.
  if (picture->format != AV_PIX_FMT_YUV420P)
    return false;

  if (m_bFirstPicture == 0) {
    m_bFirstPicture = 1;
    LogInfoF("FFDecode:解码开始得到第一帧图像,%s", m_strLabel.c_str());
  }
  m_nWidth = picture->width;
  m_nHeight = picture->height;

  if (!m_pPictureBuffer || m_nWidth != m_nBufferWidth || m_nHeight != m_nBufferHeight) {
    m_pPictureBuffer.reset();
    m_nPictureSize = sorvo::PictureSize(m_eOutputFormat, m_nWidth, m_nHeight);
    const size_t capacity = static_cast<size_t>(m_nWidth) * m_nHeight * 4;
    m_pPictureBuffer.reset(m_nPictureSize > 0 ? new (std::nothrow) unsigned char[capacity]
                                              : nullptr);
    if (!m_pPictureBuffer)
      return false;
    m_nBufferWidth = m_nWidth;
    m_nBufferHeight = m_nHeight;
  }
  const int chromaWidth = (m_nWidth + 1) / 2;
  const int chromaHeight = (m_nHeight + 1) / 2;
  uint8_t* luma = m_pPictureBuffer.get();
  uint8_t* blue = luma + static_cast<size_t>(m_nWidth) * m_nHeight;
  uint8_t* red = blue + static_cast<size_t>(chromaWidth) * chromaHeight;
  CopyPlane(luma, picture->data[0], picture->linesize[0], m_nWidth, m_nHeight);
  CopyPlane(blue, picture->data[1], picture->linesize[1], chromaWidth, chromaHeight);
  CopyPlane(red, picture->data[2], picture->linesize[2], chromaWidth, chromaHeight);

  CountPicture();
  OnDecodedFrame(m_pPictureBuffer.get(), m_nPictureSize);
  return true;
}

void FFDecoder::CountPicture() {
  ++m_nDecodedCount;
  const uint32_t now = GetTickCount();
  if (now - m_nLastReportTime < kRateReportPeriodMs)
    return;
  m_nLastPeriodPictures = m_nDecodedCount - m_nCountAtLastReport;
  m_nCountAtLastReport = m_nDecodedCount;
  m_nLastReportTime = now;
  LogDebugF("解码视频 %s 帧率:%d", m_strLabel.c_str(),
            static_cast<int>(m_nLastPeriodPictures / 10));
}
