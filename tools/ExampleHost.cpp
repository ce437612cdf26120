// A small host: initialises the module, creates one recording sink, feeds it a few
// pictures and says what happened at each step.
#include <cstdio>
#include <string>
#include <vector>

#include "host/AppDirectory.h"
#include "muxing/SorvoEntry.h"
#include "sink/ISorvoSink.h"

int main(int argc, char** argv) {
  if (argc > 1) SorvoSetAppDirectory(argv[1]);
  char dir[4096];
  SorvoGetAppDirectory(dir, sizeof(dir));
  std::printf("application directory: %s\n", dir);

  std::printf("InitSorvo: %d\n", InitSorvo());
  VideoInfo info;
  InitVideoHeader(info, 640, 480, 3, 25);
  std::printf("video header: %dx%d, pixel format %d, %d bytes per picture, %d per second\n",
              info.width, info.height, info.pixelFormat, info.imageSize, info.frameRate);

  const std::string path = std::string(dir) + "/example.mp4";
  ISorvoSink* sink = nullptr;
  unsigned created = CreateSorvo("example", path.c_str(), info, 1000000, 18050, &sink, 0, 0);
  std::printf("CreateSorvo(\"example\", \"%s\"): %u\n", path.c_str(), created);
  if (!created) return 1;

  std::vector<unsigned char> picture(info.imageSize);
  for (int n = 0; n < 10; ++n) {
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>(i + n * 7);
    sink->OnBuffer(0, n / 25.0, picture.data(), static_cast<long>(picture.size()), info.width,
                   info.height, static_cast<PixelFormat>(info.pixelFormat));
  }
  StreamInfo stream;
  sink->GetStreamInfo(&stream);
  std::printf("sink \"%s\": id %d, %dx%d, %lld pictures in (%lld bytes), codec id %d\n",
              sink->GetName().c_str(), sink->GetId(), sink->GetWidth(), sink->GetHeight(),
              static_cast<long long>(stream.framesIn), static_cast<long long>(stream.bytesIn),
              stream.codecId);
  std::printf("Close: %d\n", sink->Close());
  std::printf("Release: %ld\n", sink->Release());
  return 0;
}
