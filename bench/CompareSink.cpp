// One side of bench/compare: a raw file of packed BGR24 pictures recorded through one sink
// made by CreateSorvo, with its MP4 on, as fast as the sink takes pictures without giving
// any up. Each picture is read into the program's own buffer and handed to OnBuffer, which
// copies it; with --lend it is read straight into a buffer the sink lends (LendBuffer,
// ReturnBuffer), as a host that makes its pictures itself would.
//
// sorvo_compare_sink RAW WIDTH HEIGHT FPS BITRATE PORT OUT.mp4 [--lend]
//
// The frame pool keeps five pictures and overwrites the oldest waiting one when the feeder
// runs ahead, so the feeder paces itself on the sink's own counters: it hands in a picture
// only while at most three are between OnBuffer and their broadcast. The worker may still
// hold the buffer of a picture it has just counted, which leaves one buffer free at the
// worst. Exits 0 only when every picture of the file came out as a packet.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "RawPictureFile.h"
#include "muxing/SorvoEntry.h"
#include "sink/ISorvoSink.h"
#include "sink/StreamInfo.h"

namespace {

constexpr int64_t kMostInFlight = 3;
// A worker that has made no packet for this long is not coming back (a picture was given up
// after all, or the encoder failed): the run ends as a failure rather than hanging.
constexpr auto kStall = std::chrono::seconds(10);

StreamInfo Snapshot(ISorvoSink* sink) {
  StreamInfo info;
  sink->GetStreamInfo(&info);
  return info;
}

// Waits until at most `most` pictures are queued or being encoded; false when the worker
// stalls first.
bool WaitForRoom(ISorvoSink* sink, int64_t most) {
  int64_t packets = -1;
  auto progress = std::chrono::steady_clock::now();
  for (;;) {
    const StreamInfo info = Snapshot(sink);
    if (info.framesIn - info.packetsSent <= most) return true;
    const auto now = std::chrono::steady_clock::now();
    if (info.packetsSent != packets) {
      packets = info.packetsSent;
      progress = now;
    } else if (now - progress > kStall) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
}

}  // namespace

// The next picture of the file, read into a buffer the sink lends and handed back: 1 when
// the sink took it, 0 at the end of the file, -1 when the sink lent nothing.
int LendNext(ISorvoSink* sink, sorvo::bench::RawPictureFile& raw, double time, int width,
             int height) {
  long capacity = 0;
  unsigned char* buffer = sink->LendBuffer(&capacity);
  const long size = static_cast<long>(raw.picture().size());
  if (buffer == nullptr || capacity < size) {
    if (buffer != nullptr)
      sink->ReturnBuffer(buffer, 0, time, 0, width, height, PIX_FMT_BGR24);
    return -1;
  }
  if (!raw.ReadInto(buffer)) {
    sink->ReturnBuffer(buffer, 0, time, 0, width, height, PIX_FMT_BGR24);
    return 0;
  }
  return sink->ReturnBuffer(buffer, 0, time, size, width, height, PIX_FMT_BGR24) == 1 ? 1 : -1;
}

int main(int argc, char** argv) {
  const bool lend = argc == 9 && std::strcmp(argv[8], "--lend") == 0;
  if (argc != 8 && !lend) {
    std::fprintf(stderr, "usage: %s RAW WIDTH HEIGHT FPS BITRATE PORT OUT.mp4 [--lend]\n",
                 argv[0]);
    return 2;
  }
  const int width = std::atoi(argv[2]), height = std::atoi(argv[3]);
  const int frameRate = std::atoi(argv[4]), bitRate = std::atoi(argv[5]);
  const int port = std::atoi(argv[6]);

  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, width, height, 3, frameRate);
  sorvo::bench::RawPictureFile raw(argv[1], static_cast<size_t>(info.imageSize));
  if (!raw.ok()) return 1;
  ISorvoSink* sink = nullptr;
  if (CreateSorvo("compare", argv[7], info, bitRate, port, &sink, 0, 0) != 1) {
    std::fprintf(stderr, "the sink could not be created\n");
    return 1;
  }
  if (sink->StartRecord() != 1) {
    std::fprintf(stderr, "the sink could not start its MP4 %s\n", argv[7]);
    sink->Close();
    sink->Release();
    return 1;
  }

  std::vector<unsigned char>& picture = raw.picture();
  int64_t pictures = 0;
  bool flowing = true;
  for (;;) {
    // Room first, so that a lent buffer never takes a waiting picture's place.
    flowing = WaitForRoom(sink, kMostInFlight);
    if (!flowing) break;
    const double time = static_cast<double>(pictures) / frameRate;
    if (lend) {
      const int taken = LendNext(sink, raw, time, width, height);
      if (taken < 0) {
        std::fprintf(stderr, "the sink did not lend or take picture %lld\n",
                     static_cast<long long>(pictures));
        flowing = false;
      }
      if (taken <= 0) break;
    } else {
      if (!raw.Next()) break;
      sink->OnBuffer(0, time, picture.data(), static_cast<long>(picture.size()), width, height,
                     PIX_FMT_BGR24);
    }
    ++pictures;
  }
  if (flowing) WaitForRoom(sink, 0);
  const StreamInfo last = Snapshot(sink);
  sink->Close();
  sink->Release();

  std::printf("pictures %lld framesIn %lld packets %lld\n", static_cast<long long>(pictures),
              static_cast<long long>(last.framesIn), static_cast<long long>(last.packetsSent));
  if (!flowing || pictures == 0 || last.framesIn != pictures || last.packetsSent != pictures) {
    std::fprintf(stderr, "pictures were lost on the way\n");
    return 1;
  }
  return 0;
}
