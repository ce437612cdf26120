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

  // Requests being answered, WebSockets and streams at once, of clients without the token
  // (more are answered 503 and closed); clients with the token may hold tokenConnections
  // more.
  int maxConnections = 16;
  int tokenConnections = 16;
  // A connection must send the first byte of each request within this, or it is closed.
  Duration firstByteTimeout{1500};
  // Connections waiting for their request from one address, and from all: the oldest is
  // closed when another comes.
  int waitingPerAddress = 8;
  int waitingConnections = 128;
  size_t maxHeaderBytes = 8192;
  size_t maxBodyBytes = 4096;
  // A request begun must arrive whole within this.
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
