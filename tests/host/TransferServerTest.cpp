#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LogCapture.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/TransferServer.h"
#include "common/LoopbackClient.h"
#include "host/ITransferAccepterCB.h"

namespace {

using sorvo::test::LoopbackClient;
using sorvo::test::TestAppDir;
using sorvo::test::WaitUntil;

constexpr size_t kGreetingSize = 80;

// A thread that is released by `stop` and joined on every way out of a test, failed
// assertions included.
class JoiningThread {
 public:
  JoiningThread(std::function<void()> body, std::function<void()> stop)
      : m_stop(std::move(stop)), m_thread(std::move(body)) {}
  ~JoiningThread() {
    m_stop();
    m_thread.join();
  }

 private:
  std::function<void()> m_stop;
  std::thread m_thread;
};

void PutLE32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

uint32_t GetLE32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// A packet header as the recording sink builds it: size, sequence, key flag, width, height.
std::string Header(uint32_t size, uint32_t seq) {
  std::string header;
  for (uint32_t field : {size, seq, seq % 2, 640u, 480u}) PutLE32(header, field);
  return header;
}

std::string Payload(uint32_t seq, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seq * 31 + i * 7);
  return bytes;
}

// Answers every client as the recording sink does: set-up, then an 80-byte greeting that
// carries the number of broadcasts finished so far, so a client can tell where it joined.
class GreetingAccepter : public ITransferAccepterCB {
 public:
  static std::string Greeting(uint32_t broadcastsDone) {
    std::string greeting = "GREETING";
    PutLE32(greeting, broadcastsDone);
    greeting.resize(kGreetingSize, 'g');
    return greeting;
  }

  int OnAccept(ITransferConnection* connection, int /*flag*/) override {
    EXPECT_EQ(connection->Setup(0, 0), 1);
    const std::string greeting = Greeting(broadcastsDone.load());
    EXPECT_EQ(connection->Send(greeting.data(), static_cast<int>(greeting.size())), 1);
    EXPECT_EQ(connection->Send(nullptr, 5), 0);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    std::unique_lock<std::mutex> hold(m_lock);
    m_threadName = name;
    ++accepted;
    m_holding = m_held;
    m_changed.notify_all();
    m_changed.wait(hold, [this] { return !m_held; });
    m_holding = false;
    return 1;
  }
  int OnNotify(int /*code*/, void* /*data*/) override { return 1; }

  std::string ThreadName() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_threadName;
  }

  // While held, the next OnAccept keeps the server's I/O thread waiting after the greeting,
  // so that nothing queued meanwhile is written.
  void Hold() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_held = true;
  }
  bool WaitUntilHolding() {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_changed.wait_for(hold, std::chrono::seconds(20), [this] { return m_holding; });
  }
  void LetGo() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_held = false;
    m_changed.notify_all();
  }

  std::atomic<uint32_t> broadcastsDone{0};
  std::atomic<int> accepted{0};

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::string m_threadName;  // guarded by m_lock
  bool m_held = false;       // guarded by m_lock
  bool m_holding = false;    // guarded by m_lock
};

struct ReleaseServer {
  void operator()(ITransferServer* server) const { server->Release(); }
};
using ServerPtr = std::unique_ptr<ITransferServer, ReleaseServer>;

class TransferServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ITransferServer* raw = nullptr;
    ASSERT_EQ(sorvo::CreateServerOnAnyPort(&raw, &m_port), 1);
    ASSERT_NE(raw, nullptr);
    ASSERT_NE(m_port, 0);
    m_server.reset(raw);
    m_server->RegisterAcceptCallback(&m_accepter, 0);
  }
  // Before the server goes: its Stop waits for an OnAccept that may still be held.
  void TearDown() override { m_accepter.LetGo(); }

  bool WaitForClients(int count) {
    return WaitUntil([&] { return m_server->GetClientCount() == count; });
  }

  // Broadcasts packet `seq` with its header; the clients reached, -1 when refused.
  int BroadcastPacket(uint32_t seq, size_t size) {
    const std::string header = Header(static_cast<uint32_t>(size), seq);
    const std::string payload = Payload(seq, size);
    int reached = -1;
    const int result =
        m_server->Broadcast(payload.data(), static_cast<int>(size), header.data(), &reached);
    m_accepter.broadcastsDone.store(seq + 1);
    return result == 1 ? reached : -1;
  }

  // Reads one framed packet and checks that its bytes are packet `seq`'s; the sequence
  // number read, or -1 when the stream ended.
  static long ReadPacket(LoopbackClient& client, size_t expectedSize) {
    const std::string header = client.Read(sorvo::kTransferHeaderSize);
    if (header.size() != static_cast<size_t>(sorvo::kTransferHeaderSize)) return -1;
    const uint32_t size = GetLE32(header, 0);
    const uint32_t seq = GetLE32(header, 4);
    EXPECT_EQ(header, Header(size, seq));
    if (expectedSize != 0) {
      EXPECT_EQ(size, expectedSize);
    }
    const std::string payload = client.Read(size);
    if (payload.size() != size) return -1;
    EXPECT_TRUE(payload == Payload(seq, size)) << "payload of packet " << seq;
    return seq;
  }

  TestAppDir m_dir;
  GreetingAccepter m_accepter;
  unsigned short m_port = 0;
  ServerPtr m_server;
};

TEST_F(TransferServerTest, EveryClientGetsTheGreetingThenExactFramedPackets) {
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<LoopbackClient>(m_port));
  ASSERT_TRUE(WaitForClients(3));
  EXPECT_EQ(m_accepter.ThreadName(), "Transfer_" + std::to_string(m_port));

  const std::vector<size_t> sizes = {1, 1000, 100 * 1024 + 7, 0, 20};
  for (uint32_t seq = 0; seq < sizes.size(); ++seq) EXPECT_EQ(BroadcastPacket(seq, sizes[seq]), 3);
  // Audio goes out bare: no header, no counter asked for.
  const std::string mp3 = Payload(99, 417);
  EXPECT_EQ(m_server->Broadcast(mp3.data(), static_cast<int>(mp3.size()), nullptr, nullptr), 1);
  // Bad arguments queue nothing and say so.
  int reached = -1;
  EXPECT_EQ(m_server->Broadcast(nullptr, 10, nullptr, &reached), 0);
  EXPECT_EQ(reached, 0);
  EXPECT_EQ(m_server->Broadcast(mp3.data(), -1, nullptr, &reached), 0);

  for (auto& client : clients) {
    EXPECT_EQ(client->Read(kGreetingSize), GreetingAccepter::Greeting(0));
    for (uint32_t seq = 0; seq < sizes.size(); ++seq)
      EXPECT_EQ(ReadPacket(*client, sizes[seq]), static_cast<long>(seq));
    EXPECT_EQ(client->Read(mp3.size()), mp3);
  }
  m_server->Stop();
  for (auto& client : clients) EXPECT_EQ(client->DrainToEnd(), 0);  // nothing stray
}

TEST_F(TransferServerTest, ClientsReachedFollowsClientsComingAndGoing) {
  EXPECT_EQ(BroadcastPacket(0, 100), 0);
  LoopbackClient first(m_port), second(m_port), third(m_port);
  ASSERT_TRUE(WaitForClients(3));
  EXPECT_EQ(BroadcastPacket(1, 100 * 1024), 3);
  // One leaves in the middle of a packet, one resets the connection.
  EXPECT_EQ(second.Read(kGreetingSize + 1000).size(), kGreetingSize + 1000);
  second.Close();
  third.Reset();
  ASSERT_TRUE(WaitForClients(1));
  EXPECT_EQ(BroadcastPacket(2, 100), 1);
  EXPECT_EQ(first.Read(kGreetingSize), GreetingAccepter::Greeting(1));
  EXPECT_EQ(ReadPacket(first, 100 * 1024), 1);
  EXPECT_EQ(ReadPacket(first, 100), 2);
}

TEST_F(TransferServerTest, ClientJoiningMidStreamGetsTheGreetingAtAPacketBoundary) {
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> sent{0};
  JoiningThread broadcaster(
      [&] {
        for (uint32_t seq = 0; !stop.load(); ++seq) {
          BroadcastPacket(seq, 64 + seq % 50);
          sent.store(seq + 1);
          std::this_thread::yield();
        }
      },
      [&] { stop.store(true); });
  ASSERT_TRUE(WaitUntil([&] { return sent.load() >= 200; }));
  LoopbackClient client(m_port);
  const std::string greeting = client.Read(kGreetingSize);
  ASSERT_EQ(greeting.size(), kGreetingSize);
  ASSERT_EQ(greeting.substr(0, 8), "GREETING");
  const uint32_t joinedAt = GetLE32(greeting, 8);
  EXPECT_GE(joinedAt, 200u);
  const long first = ReadPacket(client, 0);
  EXPECT_GE(first, static_cast<long>(joinedAt));
  for (long seq = first + 1; seq < first + 100; ++seq) ASSERT_EQ(ReadPacket(client, 0), seq);
}

TEST_F(TransferServerTest, ClientConnectingBeforeTheCallbackIsRegisteredStillGetsTheGreeting) {
  ITransferServer* raw = nullptr;
  unsigned short port = 0;
  ASSERT_EQ(sorvo::CreateServerOnAnyPort(&raw, &port), 1);
  ServerPtr server(raw);
  LoopbackClient early(port);
  ASSERT_TRUE(early.connected());
  // The client waits in the backlog. The pause passes with a correct server whatever its
  // length; it only gives a server that accepted too early the time to show it.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(server->GetClientCount(), 0);
  GreetingAccepter accepter;
  server->RegisterAcceptCallback(&accepter, 0);
  EXPECT_EQ(early.Read(kGreetingSize), GreetingAccepter::Greeting(0));
  ASSERT_TRUE(WaitUntil([&] { return server->GetClientCount() == 1; }));
  // Once cleared, the callback is not called again.
  server->RegisterAcceptCallback(nullptr, 0);
  LoopbackClient late(port);
  ASSERT_TRUE(WaitUntil([&] { return server->GetClientCount() == 2; }));
  EXPECT_EQ(accepter.accepted.load(), 1);
}

TEST_F(TransferServerTest, ClientBeyondTheLimitIsClosedAtOnce) {
  sorvo::test::LogCapture log;
  std::vector<std::unique_ptr<LoopbackClient>> clients;
  for (int i = 0; i < sorvo::kTransferMaxClients; ++i)
    clients.push_back(std::make_unique<LoopbackClient>(m_port));
  ASSERT_TRUE(WaitForClients(sorvo::kTransferMaxClients));
  LoopbackClient refused(m_port);
  EXPECT_EQ(refused.DrainToEnd(), 0);  // closed without a greeting
  EXPECT_EQ(m_accepter.accepted.load(), sorvo::kTransferMaxClients);
  EXPECT_EQ(BroadcastPacket(0, 10), sorvo::kTransferMaxClients);
  bool logged = false;
  for (const auto& line : log.Lines()) logged |= line.text.find("refusing") != std::string::npos;
  EXPECT_TRUE(logged);

  // A free slot is taken again.
  clients.pop_back();
  ASSERT_TRUE(WaitForClients(sorvo::kTransferMaxClients - 1));
  LoopbackClient next(m_port);
  EXPECT_EQ(next.Read(kGreetingSize), GreetingAccepter::Greeting(1));
}

TEST_F(TransferServerTest, StalledClientIsDroppedWhileOthersGetEverything) {
  sorvo::test::LogCapture log;
  constexpr size_t kPacket = 100 * 1024;
  LoopbackClient reader(m_port);
  LoopbackClient stalled(m_port, "127.0.0.1", 4096);
  ASSERT_TRUE(WaitForClients(2));

  std::atomic<long> readerAt{-1};  // last packet the reader has checked
  JoiningThread readerThread(
      [&] {
        if (reader.Read(kGreetingSize) != GreetingAccepter::Greeting(0)) return;
        for (long seq = 0;; ++seq) {
          const long got = ReadPacket(reader, kPacket);
          if (got < 0) return;
          EXPECT_EQ(got, seq);
          readerAt.store(got);
        }
      },
      [&] { m_server->Stop(); });

  // Far more than the queue limit; the reader is never let fall more than a few packets
  // behind, so only the stalled client can overflow.
  const uint32_t total = 2 * sorvo::kTransferQueueLimit / kPacket;
  uint32_t reachedStalled = 0;
  for (uint32_t seq = 0; seq < total; ++seq) {
    ASSERT_TRUE(WaitUntil([&] { return readerAt.load() + 4 >= static_cast<long>(seq); }));
    const int reached = BroadcastPacket(seq, kPacket);
    ASSERT_GE(reached, 1);
    if (reached == 2) ++reachedStalled;
  }
  EXPECT_LT(reachedStalled, total);
  EXPECT_EQ(m_server->GetClientCount(), 1);
  bool logged = false;
  for (const auto& line : log.Lines()) logged |= line.text.find("dropped") != std::string::npos;
  EXPECT_TRUE(logged);

  // What the stalled client never took off the server stayed within the queue limit.
  const long long received = stalled.DrainToEnd();
  ASSERT_GE(received, 0);
  const long long queued =
      static_cast<long long>(reachedStalled) * (kPacket + sorvo::kTransferHeaderSize) + kGreetingSize;
  EXPECT_LE(queued - received, static_cast<long long>(sorvo::kTransferQueueLimit));

  EXPECT_TRUE(WaitUntil([&] { return readerAt.load() == static_cast<long>(total) - 1; }));
}

TEST_F(TransferServerTest, QueueLimitIsExactAndAnOverflowingClientIsNotCountedAsReached) {
  LoopbackClient client(m_port);
  EXPECT_EQ(client.Read(kGreetingSize), GreetingAccepter::Greeting(0));
  ASSERT_TRUE(WaitForClients(1));
  m_accepter.Hold();
  LoopbackClient blocker(m_port);
  ASSERT_TRUE(m_accepter.WaitUntilHolding());

  // Nothing is written now, so the client's queue fills to the byte. The greeting may still
  // count against it; these sizes leave room for its 80 bytes either way.
  constexpr size_t kPacket = 100 * 1024;
  const uint32_t fitting = sorvo::kTransferQueueLimit / (kPacket + sorvo::kTransferHeaderSize);
  for (uint32_t seq = 0; seq < fitting; ++seq) ASSERT_EQ(BroadcastPacket(seq, kPacket), 1);
  EXPECT_EQ(BroadcastPacket(fitting, kPacket), 0);
  EXPECT_EQ(m_server->GetClientCount(), 0);

  m_accepter.LetGo();
  EXPECT_EQ(client.DrainToEnd(), 0);  // its queue was dropped, not sent
  ASSERT_TRUE(WaitForClients(1));
  EXPECT_EQ(blocker.Read(kGreetingSize), GreetingAccepter::Greeting(0));
  EXPECT_EQ(BroadcastPacket(fitting + 1, 10), 1);
  EXPECT_EQ(ReadPacket(blocker, 10), static_cast<long>(fitting + 1));
}

TEST(TransferServerQueueTest, PacketLargerThanTheLimitStillReachesAnIdleClientWhole) {
  TestAppDir dir;
  ITransferServer* raw = nullptr;
  unsigned short port = 0;
  ASSERT_EQ(sorvo::CreateServerOnAnyPort(&raw, &port), 1);
  ServerPtr server(raw);
  server->RegisterAcceptCallback(nullptr, 0);  // no greeting: the queue starts empty
  LoopbackClient client(port);
  ASSERT_TRUE(WaitUntil([&] { return server->GetClientCount() == 1; }));
  const std::string huge = Payload(7, sorvo::kTransferQueueLimit + 1);
  int reached = 0;
  EXPECT_EQ(server->Broadcast(huge.data(), static_cast<int>(huge.size()), nullptr, &reached), 1);
  EXPECT_EQ(reached, 1);
  EXPECT_TRUE(client.Read(huge.size()) == huge);
}

TEST_F(TransferServerTest, FloodingClientIsDrainedAndStillServed) {
  LoopbackClient flooder(m_port);
  ASSERT_TRUE(WaitForClients(1));
  std::atomic<bool> flooded{false};
  auto sender = std::make_unique<JoiningThread>(
      [&] {
        const std::string chunk(1 << 20, 'x');
        bool ok = true;
        for (int i = 0; i < 32 && ok; ++i) ok = flooder.SendAll(chunk.data(), chunk.size());
        flooded.store(ok);
      },
      [] {});
  EXPECT_EQ(flooder.Read(kGreetingSize), GreetingAccepter::Greeting(0));
  for (uint32_t seq = 0; seq < 50; ++seq) {
    EXPECT_EQ(BroadcastPacket(seq, 4000), 1);
    EXPECT_EQ(ReadPacket(flooder, 4000), static_cast<long>(seq));
  }
  sender.reset();
  EXPECT_TRUE(flooded.load());  // the server kept reading: 32 MiB went through
}

TEST_F(TransferServerTest, StopClosesListenerAndClientsAndReleaseDestroys) {
  LoopbackClient client(m_port);
  EXPECT_EQ(client.Read(kGreetingSize), GreetingAccepter::Greeting(0));
  ASSERT_TRUE(WaitForClients(1));
  EXPECT_EQ(m_server->AddRef(), 2);
  EXPECT_EQ(m_server->Stop(), 1);
  EXPECT_EQ(client.DrainToEnd(), 0);
  EXPECT_FALSE(LoopbackClient(m_port).connected());
  int reached = -1;
  const std::string data = Payload(0, 10);
  EXPECT_EQ(m_server->Broadcast(data.data(), 10, nullptr, &reached), 0);
  EXPECT_EQ(reached, 0);
  EXPECT_EQ(m_server->GetClientCount(), 0);
  EXPECT_EQ(m_server->Stop(), 1);
  EXPECT_EQ(m_server->Release(), 1);
}

TEST_F(TransferServerTest, LastReleaseStopsAServerWithClientsAndPacketsInFlight) {
  LoopbackClient client(m_port, "127.0.0.1", 4096);
  ASSERT_TRUE(WaitForClients(1));
  for (uint32_t seq = 0; seq < 20; ++seq) BroadcastPacket(seq, 100 * 1024);
  m_server.reset();
  EXPECT_GE(client.DrainToEnd(), 0);
}

TEST_F(TransferServerTest, BroadcastsOverlapAcceptsAndStop) {
  std::atomic<bool> stop{false};
  JoiningThread broadcaster(
      [&] {
        for (uint32_t seq = 0; !stop.load(); ++seq) {
          BroadcastPacket(seq, 200 + seq % 300);
          std::this_thread::yield();
        }
      },
      [&] { stop.store(true); });
  std::vector<std::thread> viewers;
  for (int i = 0; i < 6; ++i) {
    viewers.emplace_back([&, i] {
      LoopbackClient client(m_port);
      const std::string greeting = client.Read(kGreetingSize);
      ASSERT_EQ(greeting.substr(0, 8), "GREETING");
      for (int n = 0; n < 30 * (i + 1); ++n) ASSERT_GE(ReadPacket(client, 0), 0);
      if (i % 2) client.Reset();
    });
  }
  for (auto& viewer : viewers) viewer.join();
  m_server->Stop();
}

TEST(TransferServerCreateTest, UnusablePortOrAddressLeavesTheServerNull) {
  TestAppDir dir;
  sorvo::test::LogCapture log;
  ITransferServer* first = nullptr;
  unsigned short port = 0;
  ASSERT_EQ(sorvo::CreateServerOnAnyPort(&first, &port), 1);
  ServerPtr holder(first);

  ITransferServer* second = reinterpret_cast<ITransferServer*>(&dir);  // must be overwritten
  EXPECT_EQ(CreateServer(port, &second, nullptr), 0);
  EXPECT_EQ(second, nullptr);
  const std::string want = "cannot listen on 127.0.0.1 port " + std::to_string(port);
  bool logged = false;
  for (const auto& line : log.Lines()) logged |= line.text.find(want) != std::string::npos;
  EXPECT_TRUE(logged);

  second = reinterpret_cast<ITransferServer*>(&dir);
  EXPECT_EQ(CreateServer(0, &second, nullptr), 0);
  EXPECT_EQ(second, nullptr);

  // A host's choice that is no address changes nothing; the settings file's gives no server.
  EXPECT_EQ(SorvoSetServerAddress("not-an-address"), 0);
  ASSERT_EQ(SorvoSetServerAddress(nullptr), 1);
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=not-an-address\n");
  EXPECT_EQ(sorvo::CreateServerOnAnyPort(&second, &port), 0);
  EXPECT_EQ(second, nullptr);
}

TEST(TransferServerCreateTest, BindsTheConfiguredAddressAndTakesItsPortBackAfterAStop) {
  TestAppDir dir;
  ASSERT_EQ(SorvoSetServerAddress(nullptr), 1);
  // The whole of 127/8 is loopback, so a second address is at hand without set-up.
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress = 127.0.0.2\n");
  ITransferServer* raw = nullptr;
  unsigned short port = 0;
  ASSERT_EQ(sorvo::CreateServerOnAnyPort(&raw, &port), 1);
  ServerPtr server(raw);
  EXPECT_FALSE(LoopbackClient(port, "127.0.0.1").connected());
  server->RegisterAcceptCallback(nullptr, 0);
  {
    LoopbackClient client(port, "127.0.0.2");
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(WaitUntil([&] { return server->GetClientCount() == 1; }));
    // The server closes first, so its side of the connection lingers in TIME_WAIT.
    server.reset();
    EXPECT_EQ(client.DrainToEnd(), 0);
  }
  // The host's choice wins over the settings file.
  ASSERT_EQ(SorvoSetServerAddress("127.0.0.3"), 1);
  ITransferServer* again = nullptr;
  EXPECT_EQ(CreateServer(port, &again, nullptr), 1);
  ASSERT_NE(again, nullptr);
  again->RegisterAcceptCallback(nullptr, 0);
  EXPECT_FALSE(LoopbackClient(port, "127.0.0.2").connected());
  EXPECT_TRUE(LoopbackClient(port, "127.0.0.3").connected());
  again->Release();
}

}  // namespace
