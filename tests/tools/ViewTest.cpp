// sorvo-view against servers that do not behave: nothing listening, a greeting that is not
// a stream description or gives a frame rate no sink has, a header whose size cannot be,
// packet numbers that skip or cannot be, a connection closed inside a packet, a stream
// without a key frame. Each server is a loopback socket that sends crafted bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sorvo/sorvo.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/CodecTestSupport.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

// Listens on a loopback port, sends `bytes` to the first client, then closes.
class OneShotServer {
 public:
  explicit OneShotServer(std::string bytes) : m_bytes(std::move(bytes)) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(m_fd, 1);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] {
      const int client = accept(m_fd, nullptr, nullptr);
      if (client < 0)
        return;
      send(client, m_bytes.data(), m_bytes.size(), MSG_NOSIGNAL);
      close(client);
    });
  }
  ~OneShotServer() {
    shutdown(m_fd, SHUT_RDWR);
    m_thread.join();
    close(m_fd);
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

 private:
  std::string m_bytes;
  int m_fd = -1;
  int m_port = 0;
  std::thread m_thread;
};

std::string Greeting(int width, int height, int frameRate = 25) {
  StreamInfo info;
  info.width = width;
  info.height = height;
  info.pixelFormat = PIX_FMT_BGR24;
  info.frameRate = frameRate;
  info.bitRate = 1000000;
  info.codecId = kStreamInfoCodecMpeg4;
  return std::string(reinterpret_cast<const char*>(&info), sizeof(info));
}

std::string Packet(int32_t seq, const std::string& data, bool key = false) {
  PacketHeader header;
  header.size = static_cast<int32_t>(data.size());
  header.seq = seq;
  header.key = key ? 1 : 0;
  header.width = 320;
  header.height = 240;
  return std::string(reinterpret_cast<const char*>(&header), sizeof(header)) + data;
}

// `count` packets of a moving 320x240 picture as a sink's encoder makes them, the first a
// key frame.
std::vector<SeenPacket> EncodedPackets(int count) {
  RecordingEncoder encoder;
  EXPECT_EQ(encoder.Open(320, 240, PIX_FMT_YUV420P, 25, 400000, "view"), 1);
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(320, 240, i);
    encoder.Encode(i, 0, picture.data(), static_cast<long>(picture.size()));
  }
  encoder.Close();
  EXPECT_EQ(static_cast<int>(encoder.packets.size()), count);
  return encoder.packets;
}

// The encoded packets numbered with `seqs`, in order.
std::string NumberedPackets(const std::vector<SeenPacket>& packets,
                            const std::vector<int64_t>& seqs) {
  std::string bytes;
  for (size_t i = 0; i < seqs.size(); ++i)
    bytes += Packet(static_cast<int32_t>(seqs[i]),
                    std::string(packets[i].data.begin(), packets[i].data.end()), packets[i].key());
  return bytes;
}

// `before` followed by `count` numbers from `first` on.
std::vector<int64_t> Counting(int64_t first, int count, std::vector<int64_t> before = {}) {
  for (int i = 0; i < count; ++i)
    before.push_back(first + i);
  return before;
}

// The presentation times of a written MP4, in pictures of `frameRate`; empty when it does not
// decode cleanly.
std::vector<int64_t> PictureTimes(const std::string& path, int frameRate) {
  const ProbedFile file = ProbeFile(path);
  EXPECT_TRUE(file.opened) << path;
  if (!file.opened || file.streams.size() != 1 || file.streams[0].decodeErrors != 0 ||
      file.streams[0].decodedFrames != static_cast<int>(file.packets.size()))
    return {};
  std::vector<int64_t> times;
  for (const ProbedPacket& packet : file.packets)
    times.push_back(std::llround(packet.ptsSeconds * frameRate));
  return times;
}

class ViewTest : public ::testing::Test {
 protected:
  ToolResult View(const std::vector<std::string>& args) {
    return RunTool(kViewProgram, args, dir.path());
  }
  TestAppDir dir;
};

TEST_F(ViewTest, AServerThatIsNotThereOrNotASinkIsNamedAsSuch) {
  const ToolResult nobody = View({"127.0.0.1:" + std::to_string(FreeLoopbackPort())});
  EXPECT_EQ(nobody.exitCode, 1);
  EXPECT_NE(nobody.err.find("cannot connect to 127.0.0.1:"), std::string::npos) << nobody.err;

  OneShotServer garbage(std::string(80, '\x55'));
  const ToolResult wrong = View({garbage.address(), "--seconds", "20"});
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.err.find("not a recording sink's stream description"), std::string::npos)
      << wrong.err;

  OneShotServer shortGreeting(std::string(30, '\0'));
  const ToolResult cut = View({shortGreeting.address(), "--seconds", "20"});
  EXPECT_EQ(cut.exitCode, 1);
  EXPECT_NE(cut.err.find("no stream description arrived: the server closed the connection"),
            std::string::npos)
      << cut.err;
}

TEST_F(ViewTest, AnImpossiblePacketSizeEndsTheStreamWithAMessage) {
  PacketHeader bad;
  bad.size = -5;
  OneShotServer server(Greeting(320, 240) +
                       std::string(reinterpret_cast<const char*>(&bad), sizeof(bad)));
  const std::string out = dir.File("never.mp4");
  const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("stream at " + server.address() + ": 320x240"), std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("gives the size -5: the stream has lost its framing"), std::string::npos)
      << run.err;
  EXPECT_FALSE(std::ifstream(out).good());
}

TEST_F(ViewTest, NothingIsWrittenBeforeAKeyFrameAndFalseHeadersAreCounted) {
  // Two predicted pictures (VOP coding type 1), numbered with a gap, one marked key.
  const std::string predicted("\x00\x00\x01\xB6\x40\x12\x34", 7);
  std::string packets = Packet(7, predicted) + Packet(9, predicted);
  packets[8] = 1;  // the first header's key flag
  OneShotServer server(Greeting(320, 240) + packets);
  const std::string out = dir.File("none.m4v");
  const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("received 2 packets"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2 before the first key frame"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1 jumps in the packet numbers (1 packets missing)"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("1 headers whose key flag does not match"), std::string::npos) << run.out;
  EXPECT_NE(run.err.find("no key frame arrived"), std::string::npos) << run.err;
  EXPECT_FALSE(std::ifstream(out).good());
}

TEST_F(ViewTest, AGreetingFrameRateNoSinkHasIsRefusedAndWritesNothing) {
  const std::vector<SeenPacket> packets = EncodedPackets(2);
  for (const int rate : {0, -25, 36, INT_MAX}) {
    SCOPED_TRACE(rate);
    OneShotServer server(Greeting(320, 240, rate) + NumberedPackets(packets, {0, 1}));
    const std::string out = dir.File("rate.mp4");
    const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("frame rate " + std::to_string(rate) +
                           " is outside 1 to 35 pictures per second"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(std::ifstream(out).good());
  }
  // The slowest and the fastest a sink makes.
  for (const int rate : {1, 35}) {
    SCOPED_TRACE(rate);
    OneShotServer server(Greeting(320, 240, rate) + NumberedPackets(packets, {0, 1}));
    const std::string out = dir.File("rate" + std::to_string(rate) + ".mp4");
    const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(PictureTimes(out, rate), Counting(0, 2));
    EXPECT_NEAR(ProbeFile(out).durationSeconds, 2.0 / rate, 1e-3);
  }
}

// A sink numbers every packet and its server drops a client rather than a packet: a gap is
// a fault of the peer, but one that lost packets explain; the file keeps it as a gap in time.
TEST_F(ViewTest, MissingPacketsAreReportedAndLeaveAGapInTheFile) {
  const std::vector<SeenPacket> packets = EncodedPackets(10);
  OneShotServer server(Greeting(320, 240, 35) +
                       NumberedPackets(packets, Counting(110, 5, Counting(100, 5))));
  const std::string out = dir.File("gap.mp4");
  const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
  EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
  EXPECT_NE(run.out.find("the server closed the connection; received 10 packets"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("1 jumps in the packet numbers (5 packets missing)"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("wrote " + out + ": 10 packets, 0.43 s at 35 pictures/s"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(PictureTimes(out, 35), Counting(10, 5, Counting(0, 5)));
}

// Ten seconds of pictures is the longest run of lost packets believed; numbers that go back,
// repeat or jump further say nothing about time. The stream stops there, and the file keeps
// what came before, with its times.
TEST_F(ViewTest, PacketNumbersNoLossExplainsStopTheStreamAndTheFileKeepsWhatCameBefore) {
  const std::vector<SeenPacket> packets = EncodedPackets(8);
  struct Case {
    int32_t next;  // after 0 to 4
    bool believed;
  };
  const std::vector<Case> cases = {{5 + 250, true}, {5 + 251, false}, {(1 << 26) + 5, false},
                                   {4, false},      {2, false},       {INT_MIN, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.next);
    OneShotServer server(Greeting(320, 240) +
                         NumberedPackets(packets, Counting(c.next, 3, Counting(0, 5))));
    const std::string out = dir.File("jump" + std::to_string(c.next) + ".mp4");
    const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    if (c.believed) {
      EXPECT_NE(run.out.find("(250 packets missing)"), std::string::npos) << run.out;
      EXPECT_EQ(PictureTimes(out, 25), Counting(c.next, 3, Counting(0, 5)));
    } else {
      EXPECT_NE(run.err.find("the packet numbers jump from 4 to " + std::to_string(c.next) +
                             ", which no lost packets explain"),
                std::string::npos)
          << run.err;
      EXPECT_NE(run.out.find("wrote " + out + ": 5 packets, 0.20 s at 25 pictures/s"),
                std::string::npos)
          << run.out;
      EXPECT_EQ(PictureTimes(out, 25), Counting(0, 5));
    }
  }
}

// The file written so far stays good; the exit status says the stream did not end well.
TEST_F(ViewTest, AConnectionClosedInsideAPacketIsReportedAndTheWholePacketsKept) {
  const std::vector<SeenPacket> packets = EncodedPackets(4);
  const std::string whole = Greeting(320, 240) + NumberedPackets(packets, Counting(0, 3));
  const std::string fourth = NumberedPackets({packets[3]}, {3});
  struct Case {
    std::string bytes;
    int exitCode;
    std::string message;
  };
  const std::vector<Case> cases = {
      {whole, 0, ""},
      {whole + fourth.substr(0, 7), 3,
       "the server closed the connection in the middle of a packet header (7 of 20 bytes "
       "arrived)"},
      {whole + fourth.substr(0, fourth.size() - 1), 3,
       "the server closed the connection in the middle of a packet: the last packet was cut off (" +
           std::to_string(packets[3].data.size() - 1) + " of " +
           std::to_string(packets[3].data.size()) + " bytes arrived)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    OneShotServer server(c.bytes);
    const std::string out = dir.File("cut.mp4");
    const ToolResult run = View({server.address(), "--seconds", "20", "--out", out});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    if (!c.message.empty())
      EXPECT_NE(run.err.find("sorvo-view: " + c.message), std::string::npos) << run.err;
    else
      EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("received 3 packets"), std::string::npos) << run.out;
    EXPECT_EQ(PictureTimes(out, 25), Counting(0, 3));
  }
}

TEST_F(ViewTest, BadCallsAreRefused) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "HOST:PORT is required"},
      {{"127.0.0.1:1", "--out", dir.File("x.avi")}, ".m4v or .mp4"},
      {{"127.0.0.1:1", "--audio", "--show"}, "--show"},
      {{"127.0.0.1:1", "--seconds", "-1"}, "--seconds"},
      {{"localhost"}, "\"localhost\" is not HOST:PORT"},
      {{"127.0.0.1:99999"}, "the port of 127.0.0.1:99999 must be a number from 1 to 65535"},
      {{"127.0.0.1:65536"}, "must be a number from 1 to 65535"},
      {{"127.0.0.1:0"}, "must be a number from 1 to 65535"},
      {{"127.0.0.1:-1"}, "must be a number from 1 to 65535"},
      {{"[::1]:http"}, "must be a number from 1 to 65535"},
  };
  for (const Case& c : cases) {
    const ToolResult run = View(c.args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  // The highest port is one: nothing of the address is refused.
  const ToolResult highest = View({"127.0.0.1:65535", "--seconds", "1"});
  EXPECT_EQ(highest.exitCode, 1) << highest.err;
  EXPECT_EQ(highest.err.find("HOST:PORT"), std::string::npos) << highest.err;
}

}  // namespace
