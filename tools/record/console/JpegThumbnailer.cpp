#include "tools/record/console/JpegThumbnailer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "tools/common/AvError.h"

namespace sorvo::tools {
namespace {

// The formats the recorder's cameras deliver, in the library's numbering.
AVPixelFormat AvFormatOf(PixelFormat format) {
  switch (format) {
    case PIX_FMT_YUV420P:
      return AV_PIX_FMT_YUV420P;
    case PIX_FMT_RGB24:
      return AV_PIX_FMT_RGB24;
    case PIX_FMT_BGR24:
      return AV_PIX_FMT_BGR24;
    case PIX_FMT_GRAY8:
      return AV_PIX_FMT_GRAY8;
    case PIX_FMT_ARGB:
      return AV_PIX_FMT_ARGB;
    case PIX_FMT_RGBA:
      return AV_PIX_FMT_RGBA;
    case PIX_FMT_ABGR:
      return AV_PIX_FMT_ABGR;
    case PIX_FMT_BGRA:
      return AV_PIX_FMT_BGRA;
    default:
      return AV_PIX_FMT_NONE;
  }
}

}  // namespace

JpegThumbnailer::JpegThumbnailer(int boxWidth, int boxHeight, int quality)
    : m_boxWidth(boxWidth), m_boxHeight(boxHeight), m_quality(quality) {}

void JpegThumbnailer::FitIntoBox(int width,
                                 int height,
                                 int boxWidth,
                                 int boxHeight,
                                 int* outWidth,
                                 int* outHeight) {
  const double scale = std::min({1.0, static_cast<double>(boxWidth) / std::max(1, width),
                                 static_cast<double>(boxHeight) / std::max(1, height)});
  *outWidth = std::max(2, static_cast<int>(std::lround(width * scale)) & ~1);
  *outHeight = std::max(2, static_cast<int>(std::lround(height * scale)) & ~1);
}

bool JpegThumbnailer::OpenEncoder(int width, int height, std::string* error) {
  if (m_encoder && m_encoder->width == width && m_encoder->height == height)
    return true;
  m_encoder.reset();
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (codec == nullptr) {
    *error = "this FFmpeg has no MJPEG encoder";
    return false;
  }
  CodecContextPtr encoder(avcodec_alloc_context3(codec));
  FramePtr frame(av_frame_alloc());
  if (!encoder || !frame || !m_packet) {
    *error = "out of memory";
    return false;
  }
  encoder->width = width;
  encoder->height = height;
  // Full-range 4:2:0, as JPEG files carry it; the encoder takes the plain format then.
  encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  encoder->color_range = AVCOL_RANGE_JPEG;
  encoder->time_base = AVRational{1, 25};
  encoder->flags |= AV_CODEC_FLAG_QSCALE;
  encoder->global_quality = FF_QP2LAMBDA * m_quality;
  int result = avcodec_open2(encoder.get(), codec, nullptr);
  if (result < 0) {
    *error = "cannot open the MJPEG encoder: " + AvErrorText(result);
    return false;
  }
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  frame->color_range = AVCOL_RANGE_JPEG;
  result = av_frame_get_buffer(frame.get(), 0);
  if (result < 0) {
    *error = "cannot allocate a thumbnail: " + AvErrorText(result);
    return false;
  }
  m_encoder = std::move(encoder);
  m_frame = std::move(frame);
  return true;
}

bool JpegThumbnailer::Make(const RawPicture& picture, std::string* jpeg, std::string* error) {
  return Make(picture.data.data(), picture.data.size(), picture.width, picture.height,
              picture.format, jpeg, error);
}

bool JpegThumbnailer::Make(const uint8_t* data,
                           size_t size,
                           int pictureWidth,
                           int pictureHeight,
                           PixelFormat pictureFormat,
                           std::string* jpeg,
                           std::string* error) {
  const AVPixelFormat format = AvFormatOf(pictureFormat);
  const int needed = format == AV_PIX_FMT_NONE
                         ? -1
                         : av_image_get_buffer_size(format, pictureWidth, pictureHeight, 1);
  if (needed <= 0 || size < static_cast<size_t>(needed)) {
    *error = "a picture of " + std::to_string(pictureWidth) + "x" + std::to_string(pictureHeight) +
             " in format " + std::to_string(pictureFormat) + " with " + std::to_string(size) +
             " bytes cannot be read";
    return false;
  }
  int width = 0;
  int height = 0;
  FitIntoBox(pictureWidth, pictureHeight, m_boxWidth, m_boxHeight, &width, &height);
  if (!OpenEncoder(width, height, error))
    return false;

  SwsContext* previous = m_scaler.release();
  SwsContext* scaler =
      sws_getCachedContext(previous, pictureWidth, pictureHeight, format, width, height,
                           AV_PIX_FMT_YUV420P, SWS_AREA, nullptr, nullptr, nullptr);
  m_scaler.reset(scaler);
  if (scaler == nullptr) {
    *error = "libswscale cannot scale this picture";
    return false;
  }
  if (scaler != previous) {
    // Cameras' YUV is limited range; JPEG's is full.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler, coefficients, format == AV_PIX_FMT_YUV420P ? 0 : 1,
                             coefficients, 1, 0, 1 << 16, 1 << 16);
  }
  int result = av_frame_make_writable(m_frame.get());
  if (result < 0) {
    *error = "cannot write a thumbnail: " + AvErrorText(result);
    return false;
  }
  // Scaled from a copy with room behind it unless the caller gave that room.
  const uint8_t* source = data;
  if (size < static_cast<size_t>(needed) + kScaleReadPadding) {
    m_padded.resize(static_cast<size_t>(needed) + kScaleReadPadding);
    std::memcpy(m_padded.data(), source, static_cast<size_t>(needed));
    source = m_padded.data();
  }
  uint8_t* planes[4];
  int strides[4];
  av_image_fill_arrays(planes, strides, source, format, pictureWidth, pictureHeight, 1);
  sws_scale(scaler, planes, strides, 0, pictureHeight, m_frame->data, m_frame->linesize);
  m_frame->quality = m_encoder->global_quality;
  m_frame->pts = m_pictures++;
  result = avcodec_send_frame(m_encoder.get(), m_frame.get());
  if (result >= 0)
    result = avcodec_receive_packet(m_encoder.get(), m_packet.get());
  if (result < 0) {
    *error = "the MJPEG encoder failed: " + AvErrorText(result);
    return false;
  }
  jpeg->assign(reinterpret_cast<const char*>(m_packet->data), static_cast<size_t>(m_packet->size));
  av_packet_unref(m_packet.get());
  return true;
}

}  // namespace sorvo::tools
