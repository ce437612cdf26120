// sorvo-view against servers that do not behave: nothing listening, a greeting that is not
// a stream description, a header whose size cannot be, a stream without a key frame.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sorvo/sorvo.h>

#include "common/LoopbackClient.h"
#include "common/TestAppDir.h"
#include "ToolPaths.h"
#include "ToolProcess.h"

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
      if (client < 0) return;
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

std::string Greeting(int width, int height) {
  StreamInfo info;
  info.width = width;
  info.height = height;
  info.pixelFormat = PIX_FMT_BGR24;
  info.frameRate = 25;
  info.bitRate = 1000000;
  info.codecId = kStreamInfoCodecMpeg4;
  return std::string(reinterpret_cast<const char*>(&info), sizeof(info));
}

std::string Packet(int32_t seq, const std::string& data) {
  PacketHeader header;
  header.size = static_cast<int32_t>(data.size());
  header.seq = seq;
  header.width = 320;
  header.height = 240;
  return std::string(reinterpret_cast<const char*>(&header), sizeof(header)) + data;
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
  EXPECT_NE(run.out.find("1 headers whose key flag does not match"), std::string::npos)
      << run.out;
  EXPECT_NE(run.err.find("no key frame arrived"), std::string::npos) << run.err;
  EXPECT_FALSE(std::ifstream(out).good());
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
