#include "host/MediaBase.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "host/SwsScale.h"

void InitFFmpeg() {
  static std::once_flag once;
  // FFmpeg 5.1 registers its codecs and formats statically; only the log level is ours.
  std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

void ConvertRGBToYV420P(unsigned char* source,
                        int width,
                        int height,
                        PixelFormat sourceFormat,
                        AVFrame* destination) {
  if (destination != nullptr)
    sorvo::ConvertPackedToYuv420(source, width, height, sourceFormat, destination->data,
                                 destination->linesize);
}

void sorvo::ConvertPackedToYuv420(const unsigned char* source,
                                  int width,
                                  int height,
                                  PixelFormat sourceFormat,
                                  uint8_t* const planes[4],
                                  const int linesizes[4]) {
  if (source == nullptr || width <= 0 || height <= 0)
    return;
  const int av = sorvo::ToAVPixelFormat(sourceFormat);
  if (av == AV_PIX_FMT_NONE)
    return;
  const bool oddWidth = width % 2 != 0;

  // On an odd width the default path averages each row's last pixel with the pixel after
  // it, which belongs to the next row; the full-resolution chroma input keeps every
  // sample inside its own row.
  const int flags = SWS_BICUBIC | (oddWidth ? SWS_FULL_CHR_H_INP : 0);
  // One context per thread: each encoder converts on its own worker thread, and
  // sws_getCachedContext keeps it while size, format and flags stay the same.
  thread_local sorvo::SwsContextPtr context;
  SwsContext* cached =
      sws_getCachedContext(context.release(), width, height, static_cast<AVPixelFormat>(av), width,
                           height, AV_PIX_FMT_YUV420P, flags, nullptr, nullptr, nullptr);
  context.reset(cached);
  if (!context)
    return;

  int srcLinesize[4];
  if (av_image_fill_linesizes(srcLinesize, static_cast<AVPixelFormat>(av), width) < 0)
    return;
  const uint8_t* const sources[4] = {source, nullptr, nullptr, nullptr};

  if (!oddWidth) {
    sorvo::ScaleWithinSource(context.get(), sources, srcLinesize, height, planes, linesizes);
    return;
  }
  // On an odd width libswscale also writes up to 15 bytes past the end of each output
  // row: into the next plane, or past the buffer, where planes are packed. It writes into
  // rows with room to spare, and the planes are copied over exactly.
  thread_local std::vector<uint8_t> scratch;
  uint8_t* scratchData[4];
  int scratchLinesize[4];
  if (av_image_fill_linesizes(scratchLinesize, AV_PIX_FMT_YUV420P, width + sorvo::kSwsOverread) < 0)
    return;
  const int scratchBytes =
      av_image_fill_pointers(scratchData, AV_PIX_FMT_YUV420P, height + 1, nullptr, scratchLinesize);
  if (scratchBytes < 0)
    return;
  scratch.resize(static_cast<size_t>(scratchBytes) + sorvo::kSwsOverread);
  av_image_fill_pointers(scratchData, AV_PIX_FMT_YUV420P, height + 1, scratch.data(),
                         scratchLinesize);
  sorvo::ScaleWithinSource(context.get(), sources, srcLinesize, height, scratchData,
                           scratchLinesize);
  uint8_t* destination[4] = {planes[0], planes[1], planes[2], planes[3]};
  int destinationLinesizes[4] = {linesizes[0], linesizes[1], linesizes[2], linesizes[3]};
  av_image_copy(destination, destinationLinesizes, const_cast<const uint8_t**>(scratchData),
                scratchLinesize, AV_PIX_FMT_YUV420P, width, height);
}
