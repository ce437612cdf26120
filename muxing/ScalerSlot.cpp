#include "muxing/ScalerSlot.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace sorvo {

ScalerSlot::ScalerSlot() = default;
ScalerSlot::~ScalerSlot() = default;

bool ScalerSlot::SetUp(int srcWidth,
                       int srcHeight,
                       PixelFormat srcFormat,
                       int dstWidth,
                       int dstHeight,
                       PixelFormat dstFormat) {
  m_context.reset();
  const int srcAv = ToAVPixelFormat(srcFormat);
  const int dstAv = ToAVPixelFormat(dstFormat);
  const int sourceSize = PictureSize(srcFormat, srcWidth, srcHeight);
  const int bufferSize = PictureSize(dstFormat, dstWidth, dstHeight);
  if (srcAv == AV_PIX_FMT_NONE || dstAv == AV_PIX_FMT_NONE || sourceSize <= 0 || bufferSize <= 0)
    return false;
  SwsContextPtr context(sws_getContext(srcWidth, srcHeight, static_cast<AVPixelFormat>(srcAv),
                                       dstWidth, dstHeight, static_cast<AVPixelFormat>(dstAv),
                                       SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!context)
    return false;

  // Room behind the picture keeps a scaler that writes a little past its last row inside
  // the slot's own allocation.
  const int allocated = bufferSize + kSwsOverread;
  if (allocated > m_nAllocated) {
    m_buffer.reset(new unsigned char[allocated]());
    m_nAllocated = allocated;
  }
  m_nSrcWidth = srcWidth;
  m_nSrcHeight = srcHeight;
  m_eSrcFormat = srcFormat;
  m_nDstWidth = dstWidth;
  m_nDstHeight = dstHeight;
  m_eDstFormat = dstFormat;
  m_nSourceSize = sourceSize;
  m_nBufferSize = bufferSize;
  m_context = std::move(context);
  return true;
}

bool ScalerSlot::Serves(int srcWidth,
                        int srcHeight,
                        PixelFormat srcFormat,
                        int dstWidth,
                        int dstHeight,
                        PixelFormat dstFormat) const {
  return IsReady() && srcWidth == m_nSrcWidth && srcHeight == m_nSrcHeight &&
         srcFormat == m_eSrcFormat && dstWidth == m_nDstWidth && dstHeight == m_nDstHeight &&
         dstFormat == m_eDstFormat;
}

bool ScalerSlot::Scale(const unsigned char* source) {
  if (!IsReady() || source == nullptr)
    return false;
  uint8_t* srcData[4];
  int srcLinesize[4];
  uint8_t* dstData[4];
  int dstLinesize[4];
  if (av_image_fill_arrays(srcData, srcLinesize, source,
                           static_cast<AVPixelFormat>(ToAVPixelFormat(m_eSrcFormat)), m_nSrcWidth,
                           m_nSrcHeight, 1) < 0 ||
      av_image_fill_arrays(dstData, dstLinesize, m_buffer.get(),
                           static_cast<AVPixelFormat>(ToAVPixelFormat(m_eDstFormat)), m_nDstWidth,
                           m_nDstHeight, 1) < 0)
    return false;
  ScaleWithinSource(m_context.get(), srcData, srcLinesize, m_nSrcHeight, dstData, dstLinesize);
  return true;
}

void ScalerSlot::Reset() {
  m_context.reset();
  m_buffer.reset();
  m_nAllocated = 0;
}

}  // namespace sorvo
