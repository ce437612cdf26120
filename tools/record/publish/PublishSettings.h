// How the program is encoded and how each destination is kept up. The recorder fills in the
// picture size, rate, bit rate and sound; the rest are its defaults, which tests shorten.
#pragma once

#include <chrono>

namespace sorvo::tools {

struct PublishSettings {
  // The program's pictures. libx264 takes even sizes only: an odd width or height loses its
  // last column or row.
  int width = 1280;
  int height = 720;
  int fps = 25;
  int videoBitrate = 2500000;  // constant: the rate a live server expects
  double keySeconds = 2;       // a key frame this often, by capture time
  int encoderThreads = 0;      // libx264's threads; 0 lets it choose
  // The session's sound, interleaved signed 16-bit; no sound with 0 channels.
  int soundRate = 44100;
  int soundChannels = 2;
  int soundBitrate = 128000;

  // Each destination queues at most this much of the program before whole GOPs are dropped.
  double queueSeconds = 4;
  // Reconnecting: the first wait after a failure, doubled after each failure up to the
  // longest, and back to the first once a connection has carried a whole GOP.
  std::chrono::milliseconds firstRetry{500};
  std::chrono::milliseconds longestRetry{8000};
  // A connect, write or close that makes no progress this long fails.
  std::chrono::milliseconds ioTimeout{5000};
  // At the end, what is queued may take this long to go out; then every connection is cut.
  std::chrono::milliseconds drainAtStop{3000};
  // The encoder's threads yield to the recording's under load (nice value, 0 to 19).
  int encoderNice = 5;
};

}  // namespace sorvo::tools
