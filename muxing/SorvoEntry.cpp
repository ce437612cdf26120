#include "muxing/SorvoEntry.h"

#include <ace/Init_ACE.h>

#include <atomic>

#include "host/MediaBase.h"
#include "sink/CSorvoSinkFF.h"

namespace {

std::atomic<int> g_initialised{0};
std::atomic<int> g_startCount{0};

// ACE counts its initialisations; the one InitSorvo made is ended when the library
// unloads, so that ACE's object manager does not outlive the module.
struct AceShutdown {
  ~AceShutdown() {
    if (g_startCount.load() > 0) ACE::fini();
  }
} g_aceShutdown;

}  // namespace

namespace sorvo {
int InitSorvoStartCountForTesting() { return g_startCount.load(); }
}  // namespace sorvo

int InitSorvo() {
  int expected = 0;
  if (!g_initialised.compare_exchange_strong(expected, 1)) return 1;
  InitFFmpeg();
  ACE::init();
  g_startCount.fetch_add(1);
  return 1;
}

unsigned int CreateSorvo(const char* name, const char* path, const VideoInfo& info, int bitRate,
                         int port, ISorvoSink** sink, int id, int preview) {
  if (path == nullptr || sink == nullptr) return 0;
  if (info.width < 100 || info.height < 100 || info.width > 5000 || info.height > 5000) return 0;
  if (info.frameRate < 1 || info.frameRate > 35) return 0;
  if (bitRate < 101 || bitRate > 134217727) return 0;
  if (port < 1025 || port > 65534) return 0;

  CSorvoSinkFF* created = new CSorvoSinkFF();
  if (!created->Create(name, path, info.width, info.height,
                       static_cast<PixelFormat>(info.pixelFormat), info.frameRate, bitRate, id,
                       port, preview)) {
    delete created;
    return 0;
  }
  *sink = created;
  return 1;
}

int InitVideoHeader(tagVIDEOINFOHEADER& header, int width, int height, int bytesPerPixel,
                    int frameRate) {
  header.bmiHeader.biWidth = width;
  header.bmiHeader.biHeight = height;
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = static_cast<uint16_t>(8 * bytesPerPixel);
  header.bmiHeader.biSizeImage =
      static_cast<uint32_t>(static_cast<int64_t>(width) * height * bytesPerPixel);
  header.AvgTimePerFrame = frameRate == 0 ? 400000 : 10000000 / frameRate;
  return 1;
}

int InitVideoHeader(VideoInfo& info, int width, int height, int bytesPerPixel, int frameRate) {
  info.width = width;
  info.height = height;
  info.imageSize = static_cast<int32_t>(static_cast<int64_t>(width) * height * bytesPerPixel);
  info.frameRate = frameRate;
  switch (bytesPerPixel) {
    case 1: info.pixelFormat = PIX_FMT_GRAY8; break;
    case 4: info.pixelFormat = PIX_FMT_BGRA; break;
    default: info.pixelFormat = PIX_FMT_BGR24; break;
  }
  return 1;
}
