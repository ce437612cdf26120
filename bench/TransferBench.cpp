// What a broadcast costs the encoding thread: one packet to several connected, reading
// clients, against a plain memcpy of the same bytes measured in the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "host/TransferServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A viewer on the loopback interface that takes everything the server sends.
class DrainingViewer {
 public:
  explicit DrainingViewer(unsigned short port) : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0)
      m_thread = std::thread([this] { Drain(); });
  }
  ~DrainingViewer() {
    shutdown(m_fd, SHUT_RDWR);
    if (m_thread.joinable()) m_thread.join();
    close(m_fd);
  }

  long long received() const { return m_received.load(); }

 private:
  void Drain() {
    std::vector<char> sink(1 << 16);
    for (;;) {
      const ssize_t n = recv(m_fd, sink.data(), sink.size(), 0);
      if (n <= 0) return;
      m_received.fetch_add(n);
    }
  }

  int m_fd;
  std::atomic<long long> m_received{0};
  std::thread m_thread;
};

// The best of several timed runs of a copy between two warm buffers.
double MemcpyNanoseconds(size_t size) {
  std::vector<char> from(size, 1), to(size);
  double best = 1e18;
  for (int round = 0; round < 200; ++round) {
    const auto start = Clock::now();
    std::memcpy(to.data(), from.data(), size);
    benchmark::ClobberMemory();
    best = std::min(best, std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  return best;
}

void BM_TransferBroadcast(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const int viewers = static_cast<int>(state.range(1));
  ITransferServer* raw = nullptr;
  unsigned short port = 0;
  if (sorvo::CreateServerOnAnyPort(&raw, &port) != 1) {
    state.SkipWithError("no server");
    return;
  }
  std::unique_ptr<ITransferServer, void (*)(ITransferServer*)> server(
      raw, [](ITransferServer* s) { s->Release(); });
  server->RegisterAcceptCallback(nullptr, 0);
  std::vector<std::unique_ptr<DrainingViewer>> clients;
  for (int i = 0; i < viewers; ++i) clients.push_back(std::make_unique<DrainingViewer>(port));
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (server->GetClientCount() < viewers) {
    if (Clock::now() > deadline) {
      state.SkipWithError("the viewers did not connect");
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  const std::vector<char> packet(size, 7);
  const char header[sorvo::kTransferHeaderSize] = {};
  const long long perPacket = static_cast<long long>(size) + sorvo::kTransferHeaderSize;
  // Viewers are let fall at most this far behind, well inside the queue limit.
  const long long slack = std::max<long long>(4 * perPacket, 4 << 20);
  std::vector<double> took;
  long long sent = 0;
  for (auto _ : state) {
    int reached = 0;
    const auto start = Clock::now();
    server->Broadcast(packet.data(), static_cast<int>(size), header, &reached);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    took.push_back(seconds * 1e9);
    ++sent;
    if (reached != viewers) {
      state.SkipWithError("a viewer fell behind and was dropped");
      break;
    }
    // Sleeping, not spinning: on a small machine a spinning wait would take the cores the
    // viewers and the server's thread need.
    for (const auto& client : clients)
      while (client->received() + slack < sent * perPacket)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  if (took.empty()) return;
  // The median leaves out the broadcasts during which the scheduler took the core away.
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  const double medianNs = took[took.size() / 2];
  const double memcpyNs = MemcpyNanoseconds(size);
  state.counters["median_ns"] = medianNs;
  state.counters["memcpy_ns"] = memcpyNs;
  state.counters["x_memcpy"] = medianNs / memcpyNs;
  state.SetBytesProcessed(sent * static_cast<long long>(size));
}

BENCHMARK(BM_TransferBroadcast)
    ->Args({100 * 1024, 4})
    ->Args({2 * 1024 * 1024, 4})
    ->Args({400, 4})
    ->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
