#include "host/MediaBase.h"

#include <memory>
#include <mutex>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace {

struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};

}  // namespace

void InitFFmpeg() {
  static std::once_flag once;
  // FFmpeg 5.1 registers its codecs and formats statically; only the log level is ours.
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

void ConvertRGBToYV420P(unsigned char* source, int width, int height, PixelFormat sourceFormat,
                        AVFrame* destination) {
  if (source == nullptr || destination == nullptr || width <= 0 || height <= 0) return;
  const int av = sorvo::ToAVPixelFormat(sourceFormat);
  if (av == AV_PIX_FMT_NONE) return;

  // One context per thread: each encoder converts on its own worker thread, and
  // sws_getCachedContext keeps it while size and format stay the same.
  thread_local std::unique_ptr<SwsContext, SwsContextDeleter> context;
  SwsContext* cached = sws_getCachedContext(context.release(), width, height,
                                            static_cast<AVPixelFormat>(av), width, height,
                                            AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                            nullptr);
  context.reset(cached);
  if (!context) return;

  uint8_t* srcData[4];
  int srcLinesize[4];
  if (av_image_fill_arrays(srcData, srcLinesize, source, static_cast<AVPixelFormat>(av), width,
                           height, 1) < 0)
    return;
  sws_scale(context.get(), srcData, srcLinesize, 0, height, destination->data,
            destination->linesize);
}
