// The module's exported entry points: one-time initialisation, the sink factory and the
// video header helpers.
#pragma once

#include "host/SorvoExport.h"
#include "host/Win32Types.h"
#include "muxing/VideoInfo.h"

class ISorvoSink;

// Starts FFmpeg and ACE once per process; always 1. Call once before creating sinks.
SORVO_EXPORT int InitSorvo();

// Creates and starts one recording sink. Checks, in order: path and out pointer not null;
// width and height 100 to 5000; frame rate 1 to 35; bit rate 101 to 134217727; port
// 1025 to 65534. Returns 0 at the first failure, or when the sink fails to start, leaving
// `*sink` untouched; returns 1 with the sink's one reference in `*sink`.
SORVO_EXPORT unsigned int CreateSorvo(const char* name, const char* path, const VideoInfo& info,
                                      int bitRate, int port, ISorvoSink** sink, int id,
                                      int preview);

// Fills the bitmap header and the time per frame (frame rate 0 counts as 25); always 1.
SORVO_EXPORT int InitVideoHeader(tagVIDEOINFOHEADER& header, int width, int height,
                                 int bytesPerPixel, int frameRate);
// Fills size, picture size, frame rate and the pixel format for the depth; always 1.
SORVO_EXPORT int InitVideoHeader(VideoInfo& info, int width, int height, int bytesPerPixel,
                                 int frameRate);

namespace sorvo {
// How many times InitSorvo has started FFmpeg and ACE in this process (0 or 1).
int InitSorvoStartCountForTesting();
}  // namespace sorvo
