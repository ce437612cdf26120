#include "tools/record/sources/PictureConverter.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <sorvo/sorvo.h>

namespace sorvo::tools {

bool PictureConverter::Convert(const AVFrame* frame, std::vector<uint8_t>* picture) {
  picture->resize(SorvoPictureSize(PIX_FMT_YUV420P, m_width, m_height));
  return Convert(frame, picture->data());
}

bool PictureConverter::Convert(const AVFrame* frame, uint8_t* picture) {
  m_note.clear();
  if ((frame->width != m_width || frame->height != m_height) &&
      m_sizesSeen.insert({frame->width, frame->height}).second)
    m_note = "its pictures are " + std::to_string(frame->width) + "x" +
             std::to_string(frame->height) + " from here on; they are scaled to the camera's " +
             std::to_string(m_width) + "x" + std::to_string(m_height);
  m_scaler.reset(sws_getCachedContext(m_scaler.release(), frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), m_width, m_height,
                                      AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!m_scaler)
    return false;
  uint8_t* planes[4];
  int strides[4];
  av_image_fill_arrays(planes, strides, picture, AV_PIX_FMT_YUV420P, m_width, m_height, 1);
  sws_scale(m_scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  return true;
}

}  // namespace sorvo::tools
