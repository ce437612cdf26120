// For the tests of the recorder's network sources: servers the tests start themselves on
// loopback ports (ffmpeg processes, a TCP server in the test's own process), and what a
// decoded picture says about where it came from.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ToolProcess.h"
#include "common/CodecTestSupport.h"

namespace sorvo::test {

// Debian's programs: ffmpeg, and the python that has GStreamer's bindings.
constexpr const char* kFfmpegProgram = "/usr/bin/ffmpeg";
constexpr const char* kPythonProgram = "/usr/bin/python3";

// Waits until a server listens on `port`, without connecting to it (a server that takes
// one client would take the probe for it). False after `timeout`.
bool WaitUntilListening(int port, std::chrono::seconds timeout);

// Waits until something has bound the UDP `port` on loopback (an SRT listener, which no
// TCP probe finds). False after `timeout`.
bool WaitUntilUdpBound(int port, std::chrono::seconds timeout);

// ffmpeg sending `input` (lavfi, e.g. "color=c=green:size=320x240:rate=25") in real time
// as `output` says (its encoder, format and URL).
std::unique_ptr<ToolProcess> SendLavfi(const std::string& input,
                                       const std::vector<std::string>& output,
                                       const std::string& folder);

// ffmpeg sending `input` in real time as MPEG-2 video in MPEG-TS to the first client of
// tcp://127.0.0.1:port. Null when it did not start listening.
std::unique_ptr<ToolProcess> ServeMpegTs(const std::string& input,
                                         int port,
                                         const std::string& folder);

// A TCP server in the test's process on a free loopback port. Each connection is handed
// to `serve` on a thread of its own, with a flag that says when to stop; the destructor
// stops and joins them and closes every socket.
class LoopbackServer {
 public:
  using Serve = std::function<void(int socket, const std::atomic<bool>& stop)>;
  explicit LoopbackServer(Serve serve);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return m_port; }
  int connections() const { return m_connections.load(); }

  // Sends all of `bytes`; false when the peer is gone.
  static bool SendAll(int socket, const std::string& bytes);

 private:
  void Accept();

  Serve m_serve;
  int m_listener = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::thread m_acceptor;
  std::mutex m_lock;  // guards m_served
  std::vector<std::thread> m_served;
};

// Whether a picture is filled with `rgb` (0xRRGGBB, studio-range YUV as encoded), judged
// at its four corners.
bool ShowsColour(const Picture& picture, uint32_t rgb);

// The recorder's no-signal picture: its dark blue slate in all four corners, where no
// text is drawn.
bool IsNoSignalPicture(const Picture& picture);

}  // namespace sorvo::test
