// The publisher's MPEG-TS destinations: SRT to srt-live-transmit listening as a server, and
// UDP to a socket of the test's own; what arrives is written to a file that must decode.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "PublishTestSupport.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "tools/record/publish/Publisher.h"

namespace {

using namespace sorvo::test;
using namespace std::chrono_literals;
using sorvo::tools::Publisher;
using sorvo::tools::PublishOutputStatus;
using sorvo::tools::PublishSettings;
using sorvo::tools::PublishStatus;
using sorvo::tools::PublishTarget;

// Publishes four seconds of the program (a camera switch at 2 s) to `url`.
PublishStatus PublishFourSeconds(const std::string& url) {
  const PublishTarget target = TargetOf(url);
  std::string why;
  PublishSettings settings = SmallProgram();
  settings.firstRetry = std::chrono::milliseconds(200);
  Publisher publisher({target}, settings);
  EXPECT_TRUE(publisher.Start(&why)) << why;
  LiveProgram program(publisher, settings, 2.0, 0.0, HasRoom(publisher));
  program.StopAfter(100);
  program.Start();
  EXPECT_TRUE(program.WaitForPictures(100, 60s));
  program.Stop();
  publisher.Stop();
  return publisher.Status();
}

void ExpectTheProgram(const std::string& path, int leastPictures) {
  const ProbedFile received = ProbeFile(path, true);
  ASSERT_TRUE(received.opened) << path;
  EXPECT_EQ(received.formatName, "mpegts");
  const ProbedStream* video = FirstStream(received, AVMEDIA_TYPE_VIDEO);
  const ProbedStream* audio = FirstStream(received, AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->codecId, AV_CODEC_ID_H264);
  EXPECT_EQ(audio->codecId, AV_CODEC_ID_AAC);
  EXPECT_EQ(video->decodeErrors, 0);
  EXPECT_EQ(audio->decodeErrors, 0);
  EXPECT_GE(video->decodedFrames, leastPictures);
  EXPECT_GE(audio->decodedSamples, 44100 * leastPictures / 25 - 4096);
  const std::vector<ColourRun> runs = ColourRuns(*video);
  ASSERT_FALSE(runs.empty());
  for (const ColourRun& run : runs)
    EXPECT_NE(run.colour, ProgramColour::kOther) << DescribeRuns(runs);
  EXPECT_EQ(runs.back().colour, ProgramColour::kGreen) << DescribeRuns(runs);
}

TEST(PublishSrtTest, SrtLiveTransmitReceivesAStreamThatDecodes) {
  TestAppDir dir;
  const int port = FreeUdpPort();
  // The server listens on loopback and writes what it receives to its standard output;
  // it ends when the publisher disconnects.
  ToolProcess server(
      "/usr/bin/srt-live-transmit",
      {"-a:no", "-q", "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener", "file://con"},
      dir.path());
  ASSERT_TRUE(server.started());
  const PublishStatus status = PublishFourSeconds("srt://127.0.0.1:" + std::to_string(port));
  ASSERT_EQ(status.outputs.size(), 1u);
  EXPECT_GE(status.outputs[0].connects, 1) << status.outputs[0].lastError;
  EXPECT_EQ(status.outputs[0].losses, 0) << status.outputs[0].lastError;
  EXPECT_TRUE(status.outputs[0].endedLive) << status.outputs[0].lastError;
  if (server.Wait(30s) < 0)
    server.Signal(SIGINT);
  server.Wait(30s);
  const std::string path = dir.File("received.ts");
  std::ofstream(path, std::ios::binary) << server.Stdout();
  // Every picture after the first connection's first key frame: the listener may have
  // come up a moment after the publisher first tried.
  ExpectTheProgram(path, 50);
}

// Reads datagrams on a loopback port until stopped.
class UdpReceiver {
 public:
  UdpReceiver() {
    m_fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const int big = 4 << 20;
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    timeval wait{0, 100000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      std::vector<char> datagram(65536);
      while (!m_stop.load()) {
        const ssize_t got = recv(m_fd, datagram.data(), datagram.size(), 0);
        if (got > 0)
          m_bytes.append(datagram.data(), static_cast<size_t>(got));
      }
    });
  }
  ~UdpReceiver() {
    Stop();
    close(m_fd);
  }
  void Stop() {
    m_stop.store(true);
    if (m_thread.joinable())
      m_thread.join();
  }
  int port() const { return m_port; }
  const std::string& bytes() const { return m_bytes; }  // once stopped

 private:
  int m_fd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::string m_bytes;
  std::thread m_thread;
};

TEST(PublishUdpTest, DatagramsCarryAStreamThatDecodes) {
  TestAppDir dir;
  UdpReceiver receiver;
  ASSERT_GT(receiver.port(), 0);
  const PublishStatus status =
      PublishFourSeconds("udp://127.0.0.1:" + std::to_string(receiver.port()));
  receiver.Stop();
  ASSERT_EQ(status.outputs.size(), 1u);
  EXPECT_EQ(status.outputs[0].connects, 1) << status.outputs[0].lastError;
  EXPECT_TRUE(status.outputs[0].endedLive) << status.outputs[0].lastError;
  // Seven MPEG-TS packets to a datagram.
  EXPECT_EQ(receiver.bytes().size() % 188, 0u);
  const std::string path = dir.File("received.ts");
  std::ofstream(path, std::ios::binary) << receiver.bytes();
  ExpectTheProgram(path, 100);
}

}  // namespace
