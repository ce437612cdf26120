// The console's limits and rhythms. The defaults are the recorder's; tests shorten the
// periods and timeouts so that they need not wait long.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>

namespace sorvo::tools {

struct ConsoleSettings {
  using Clock = std::chrono::steady_clock;
  using Duration = std::chrono::milliseconds;

  // Connections of every kind at once; more are answered 503 and closed.
  int maxConnections = 16;
  size_t maxHeaderBytes = 8192;
  size_t maxBodyBytes = 4096;
  // A request must arrive whole within this, and a kept-alive connection may idle as long.
  Duration requestTimeout{15000};
  // A client must take each response, or each picture of a stream, within this.
  Duration writeTimeout{10000};
  // A WebSocket whose client neither sends nor answers pings for this long is closed.
  Duration socketIdleTimeout{30000};
  // The WebSocket's opening and closing handshakes.
  Duration handshakeTimeout{5000};
  // The kernel's send buffer of each connection: small enough that a slow client holds few
  // pictures in it (the newest wins in the console, not in the kernel), large enough for
  // several thumbnails. 0 leaves the system's own, which grows to megabytes.
  int sendBufferBytes = 256 * 1024;
  // Messages (other than the newest status and pictures, which replace older ones) that a
  // WebSocket client may fall behind before it is closed as too slow.
  size_t eventBacklog = 256;

  Duration statusPeriod{1000};
  Duration signalCheckPeriod{250};
  Duration signalTimeout{2000};
  Duration thumbnailPeriod{250};  // four thumbnails a second per watched tile
  // thumbnail.jpg waits this long for a fresh picture before it answers 503.
  Duration thumbnailWait{2000};
  std::array<int, 2> cameraBox{320, 240};
  std::array<int, 2> programBox{640, 360};

  // Tells the time to the picture taps and the signal watch; steady_clock when empty.
  std::function<Clock::time_point()> clock;
};

}  // namespace sorvo::tools
