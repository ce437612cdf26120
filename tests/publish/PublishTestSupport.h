// What the publishing tests share: real servers run as the test's own child processes on
// free loopback ports, a synthetic program (cameras of distinct colours, switching, with a
// sound whose onset marks a switch) delivered to a publisher as a live session would, and
// readers of what came out.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "tools/record/publish/ProgramInput.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishTarget.h"
#include "tools/record/publish/Publisher.h"

namespace sorvo::test {

constexpr char kFfmpeg[] = "/usr/bin/ffmpeg";
constexpr char kFfprobe[] = "/usr/bin/ffprobe";
constexpr char kPython[] = "/usr/bin/python3";

// A port nothing listens on right now (the system's choice, bound and let go).
int FreeTcpPort();
int FreeUdpPort();
// Waits until something accepts connections on the loopback port.
bool WaitForListener(int port, std::chrono::seconds timeout);
// Waits until the file holds `text`.
bool WaitForFileText(const std::string& path,
                     const std::string& text,
                     std::chrono::seconds timeout);

// nginx with Debian's RTMP module, configured in `folder` (its log there too), listening on
// one loopback port for the application "live", and recording every stream published to
// it, one file per connection. With `tls`, nginx's stream module also takes RTMPS on a
// second port (a self-signed certificate made with openssl) and passes it on to the first.
// Start may be called again after Kill, on the same ports.
class RtmpServer {
 public:
  explicit RtmpServer(const std::string& folder, bool tls = false);
  ~RtmpServer();
  // False when it did not come up listening (the reason in log()).
  bool Start();
  void Kill();
  void Pause();   // SIGSTOP: connections stay open, nothing is read
  void Resume();  // SIGCONT
  int port() const { return m_port; }
  std::string Url(const std::string& key) const;
  std::string TlsUrl(const std::string& key) const;
  std::string log() const;
  // Waits until a player of `key` has asked the server for it.
  bool WaitForPlayer(const std::string& key, std::chrono::seconds timeout) const;
  // The files it recorded, in the order the connections came.
  std::vector<std::string> Recordings() const;

 private:
  std::string m_folder;
  int m_port;
  int m_tlsPort = 0;
  std::unique_ptr<ToolProcess> m_process;
};

// A player reading a stream into a file with the ffmpeg command line: `-c copy`, flushed
// packet by packet; it ends after `idle` seconds without data.
// True while the publisher has a free slot for a picture.
std::function<bool()> HasRoom(const tools::Publisher& publisher);

std::unique_ptr<ToolProcess> StartPlayer(const std::string& url,
                                         const std::string& file,
                                         const std::string& folder,
                                         int idle = 3);

// The program's settings for a small test: 320 x 180 at 25 pictures a second, the encoder
// at the tests' own priority.
tools::PublishSettings SmallProgram();

// The colour each camera of the synthetic program fills its pictures with, in the order of
// the cameras; the last entry is for pictures of none of them.
enum class ProgramColour { kRed, kGreen, kBlue, kOther };
ProgramColour ColourOf(const Picture& picture);
const char* ColourName(ProgramColour colour);

// A live program: camera (n / switchEvery) % 3 at n / fps seconds, each in its colour with a
// square moving in one corner, and stereo PCM in buffers of 1,152 samples at 44.1 kHz,
// silent until `toneOnset` seconds and a tone from there. Delivered on a thread of its own,
// each picture and buffer when it is due on a clock that starts with Start.
//
// A machine busy with other work may hold the publisher's encoder up for longer than its
// few slots last, and a picture would be skipped, as the publisher is meant to do: the
// tests that count every picture say when the publisher can take one (`canTake`), and the
// program waits for that before each picture, as a slower live source would.
class LiveProgram {
 public:
  LiveProgram(tools::ProgramInput& input,
              const tools::PublishSettings& settings,
              double switchEvery,
              double toneOnset,
              std::function<bool()> canTake = nullptr);
  ~LiveProgram();
  // Before Start: the program ends by itself after `pictures` pictures (and the sound up to
  // their time).
  void StopAfter(long long pictures) { m_limit = pictures; }
  void Start();
  void Stop();
  // Pictures delivered so far.
  long long pictures() const { return m_pictures.load(); }
  // Waits until `count` pictures have been delivered.
  bool WaitForPictures(long long count, std::chrono::seconds timeout) const;

  static std::vector<uint8_t> Draw(int width, int height, int camera, long long index);

 private:
  void Run();

  tools::ProgramInput& m_input;
  const tools::PublishSettings m_settings;
  const double m_switchEvery;
  const double m_toneOnset;
  const std::function<bool()> m_canTake;
  long long m_limit = -1;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<long long> m_pictures{0};
};

// The pictures of a decoded video stream, by colour, with where each run of one colour
// starts (in the stream's seconds).
struct ColourRun {
  ProgramColour colour;
  double startSeconds;
  int pictures;
};
std::vector<ColourRun> ColourRuns(const ProbedStream& video);
std::string DescribeRuns(const std::vector<ColourRun>& runs);

// `url` parsed as --publish parses it; a test failure when it is refused.
sorvo::tools::PublishTarget TargetOf(const std::string& url);

// The first video and audio streams of a probed file; null when absent.
const ProbedStream* FirstStream(const ProbedFile& file, int mediaType);

}  // namespace sorvo::test
