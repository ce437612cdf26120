#include "tools/record/sources/MediaCamera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sorvo::tools {
namespace {

constexpr int kFastestRate = 35;

}  // namespace

std::unique_ptr<MediaCamera> MediaCamera::Open(const std::string& name,
                                               std::string* error,
                                               const Wanted& wanted,
                                               const std::atomic<bool>* stop) {
  std::unique_ptr<MediaCamera> camera(new MediaCamera());
  camera->m_name = name;
  if (!camera->m_input.Open(name, AVMEDIA_TYPE_VIDEO, stop ? stop : camera->stopFlag(), error,
                            wanted.knownRate > 0))
    return nullptr;
  const AVCodecContext* decoder = camera->m_input.decoder();
  camera->m_width = wanted.width > 0 ? wanted.width : decoder->width;
  camera->m_height = wanted.height > 0 ? wanted.height : decoder->height;
  camera->m_pixelFormat = PIX_FMT_YUV420P;
  // A short look at a stream may not find the rate an earlier connection found.
  const double rate = wanted.knownRate > 0 ? wanted.knownRate : camera->m_input.declaredRate();
  camera->m_frameRate =
      std::clamp(static_cast<int>(std::lround(rate > 0 ? rate : 25.0)), 1, kFastestRate);
  if (camera->m_width <= 0 || camera->m_height <= 0) {
    *error = "its picture size is unknown";
    return nullptr;
  }
  return camera;
}

std::string MediaCamera::Describe() const {
  char text[64];
  std::snprintf(text, sizeof(text), " (%s, %dx%d, %d/s)", m_input.kindName(), m_width, m_height,
                m_frameRate);
  return m_name + text;
}

bool MediaCamera::NextDecoded(FramePtr* frame, double* due) {
  const double period = 1.0 / m_frameRate;
  for (;;) {
    double time = 0;
    if (!m_input.NextFrame(m_frame.get(), &time, &m_error))
      return false;
    // A stream whose clock went back (a sender that started again) starts the grid afresh.
    if (time < m_nextSlot - 1.0)
      m_nextSlot = time;
    // Pictures come out on a grid of the sink's rate: one that comes well before its slot
    // is left out, so a faster input is thinned evenly; a slower one fills every slot it
    // can, and after a pause the grid starts again from the picture.
    if (time < m_nextSlot - period / 4)
      continue;
    m_nextSlot = time > m_nextSlot + period ? time + period : m_nextSlot + period;

    if (!*frame)
      frame->reset(av_frame_alloc());
    av_frame_unref(frame->get());
    av_frame_move_ref(frame->get(), m_frame.get());
    *due = time;
    return true;
  }
}

}  // namespace sorvo::tools
