// What the publisher has done so far: the encoder's counts and each destination's state, for
// the progress line, the summary, the JSON and the console.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct PublishOutputStatus {
  enum class State { kConnecting, kLive, kRetrying, kEnded };

  std::string shown;   // the destination, secrets masked
  std::string scheme;  // "rtmp", "rtmps", "srt", "udp", "hls"
  State state = State::kConnecting;
  bool everLive = false;   // connected at least once
  bool endedLive = false;  // the end reached it connected, and it was closed properly
  int connects = 0;        // connections made
  int failedConnects = 0;  // attempts that failed
  int losses = 0;          // connections lost while publishing
  long long packetsSent = 0;
  long long bytesSent = 0;
  long long gopsDropped = 0;      // GOPs that lost pictures to a slow or absent destination
  long long picturesDropped = 0;  // pictures of those GOPs never sent
  double secondsDropped = 0;      // the program's time those pictures held
  double secondsDown = 0;         // time without a connection after a failure
  std::string lastError;          // the last failure, empty when none
};

struct PublishStatus {
  bool active = false;            // publishing was asked for
  long long picturesIn = 0;       // program pictures that reached the publisher
  long long picturesEncoded = 0;  // encoded as H.264
  // Pictures not taken because the encoder was still busy with earlier ones (a machine
  // short of CPU), and pictures of an instant already encoded (the director's at a switch).
  long long picturesSkipped = 0;
  long long picturesLeftOut = 0;
  double soundSeconds = 0;   // encoded as AAC
  double soundSkipped = 0;   // seconds not taken (the encoder busy)
  std::string encoderError;  // the first failure of an encoder; empty when none
  std::vector<PublishOutputStatus> outputs;
};

const char* StateName(PublishOutputStatus::State state);

}  // namespace sorvo::tools
