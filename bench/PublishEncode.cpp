// bench/publish's side of the comparison: the publisher encoding a file of raw YUV 4:2:0
// pictures as a live program, into HLS on disk, fed each picture as soon as it has room for
// one (as fast as it encodes, never skipping one). The other side is the ffmpeg command
// line with the same settings.
//
// Usage: sorvo_publish_encode RAW WIDTH HEIGHT FPS BITRATE PLAYLIST
// Exit status 0 when every picture was encoded and the playlist closed properly.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/RawPictureFile.h"
#include "tools/record/publish/Publisher.h"

int main(int argc, char** argv) {
  using namespace sorvo::tools;
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s RAW WIDTH HEIGHT FPS BITRATE PLAYLIST\n", argv[0]);
    return 2;
  }
  PublishSettings settings;
  settings.width = std::atoi(argv[2]);
  settings.height = std::atoi(argv[3]);
  settings.fps = std::atoi(argv[4]);
  settings.videoBitrate = std::atoi(argv[5]);
  settings.soundChannels = 0;
  PublishTarget target;
  std::string error;
  if (!ParsePublishTarget(argv[6], &target, &error)) {
    std::fprintf(stderr, "%s: %s\n", argv[6], error.c_str());
    return 2;
  }
  const size_t pictureBytes = static_cast<size_t>(settings.width) * settings.height * 3 / 2;
  sorvo::bench::RawPictureFile raw(argv[1], pictureBytes);
  if (!raw.ok())
    return 1;
  Publisher publisher({target}, settings);
  if (!publisher.Start(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  long long pictures = 0;
  while (raw.Next()) {
    // Room for the next picture: fewer than all the slots taken.
    for (;;) {
      const PublishStatus status = publisher.Status();
      if (status.picturesIn - status.picturesEncoded - status.picturesLeftOut <
          publisher.pictureSlots())
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    publisher.OnPicture(static_cast<double>(pictures) / settings.fps, raw.picture().data(),
                        pictureBytes, settings.width, settings.height);
    ++pictures;
  }
  publisher.Stop();
  const PublishStatus status = publisher.Status();
  std::printf("%lld pictures, %lld encoded, %lld skipped\n", pictures, status.picturesEncoded,
              status.picturesSkipped);
  const bool closed = !status.outputs.empty() && status.outputs[0].endedLive;
  if (!closed && !status.outputs.empty())
    std::fprintf(stderr, "the playlist: %s\n", status.outputs[0].lastError.c_str());
  return status.picturesEncoded == pictures && closed ? 0 : 1;
}
