// One stream of a media input opened with libavformat/libavdevice, decoded frame by frame:
// a file (played in a loop), a network stream (NetworkInput.h), a capture device, or any
// input format named before a colon ("lavfi:testsrc2", "v4l2:/dev/video0", "alsa:hw:0").
// /dev/video* opens as V4L2.
//
// The feeder's thread reads; a stop flag set from any thread breaks a blocking read. A
// network stream that sends nothing for kSilentSourceSeconds, or does not open within
// kConnectSeconds, fails, whatever its protocol's own timeouts do; a listener (NetworkInput.h)
// read again after an earlier connection found its format waits for its sender instead.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "codec/FFDeleters.h"

namespace sorvo::tools {

class MediaInput {
 public:
  // Opens the best stream of `type` in `name` and its decoder; false with `error` set.
  // `knownFormat`: an earlier connection to the stream found its format (NetworkInput.h).
  bool Open(const std::string& name,
            AVMediaType type,
            const std::atomic<bool>* stop,
            std::string* error,
            bool knownFormat = false);

  enum class Kind { kFile, kDevice, kNetwork };
  Kind kind() const { return m_kind; }
  // "file", "device" or "network", for descriptions.
  const char* kindName() const;
  // A capture device or a network stream: read as it delivers, never looped.
  bool live() const { return m_kind != Kind::kFile; }
  AVCodecContext* decoder() const { return m_decoder.get(); }
  // Frames per second the stream declares; 0 when it declares none.
  double declaredRate() const;
  // The input carries no times of its own (MJPEG over HTTP): frame times count frames.
  bool timesCounted() const;
  // The input format's name ("mov,mp4,...", "video4linux2,v4l2", ...).
  std::string formatName() const;

  // The next decoded frame and its time in seconds since the input's start; a looped file
  // keeps counting across its loops. False at the end of a live input, on a failure (with
  // `error` set) or when stopped.
  bool NextFrame(AVFrame* frame, double* seconds, std::string* error);

 private:
  // What libavformat's interrupt callback looks at, on the reading thread: the stop flag,
  // and for a network stream the moment the present wait has lasted too long.
  struct Watchdog {
    const std::atomic<bool>* stop = nullptr;
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    double armedFor = 0;  // seconds, for the message
    void Arm(double seconds);
    void Disarm() { deadline = std::chrono::steady_clock::time_point::max(); }
    bool Expired() const { return std::chrono::steady_clock::now() > deadline; }
  };
  static int Interrupted(void* watchdog);

  bool ReadAndDecode(AVFrame* frame, std::string* error);
  bool Rewind(std::string* error);
  // Why libavformat gave up with AVERROR_EXIT.
  std::string InterruptedText() const;

  InputContextPtr m_input;
  CodecContextPtr m_decoder;
  PacketPtr m_packet{av_packet_alloc()};
  int m_stream = -1;
  Kind m_kind = Kind::kFile;
  bool m_listener = false;     // a network stream that waits for its sender
  bool m_awaitingKey = false;  // after a listener's silence, until its next key frame
  Watchdog m_watchdog;
  bool m_draining = false;
  // Time added to every frame of the current loop, and where the loop's last frame ended.
  double m_loopOffset = 0;
  double m_loopEnd = 0;
  double m_firstTime = -1;
  long long m_framesThisLoop = 0;
};

}  // namespace sorvo::tools
