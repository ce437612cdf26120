// The recording sink's costs, each against its baseline in the same run:
// - OnBuffer on the capture thread against a memcpy of the same picture (it only copies);
// - a sink with every output on (MP4, raw stream, private stream, four reading TCP clients,
//   a data target) against the bare encode loop, both as process CPU per picture;
// - the sink's resident memory after 100 and after 10,000 pictures.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BareEncoder.h"
#include "RatioReporter.h"
#include "ResidentMemory.h"
#include "ScratchDir.h"
#include "common/LoopbackClient.h"
#include "host/AppDirectory.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"

namespace {

using sorvo::bench::ScratchDir;

constexpr int kFrameRate = 25;
constexpr int kBitRate = 4000000;
constexpr int kPictures = 8;

// Counts packets and lets the feeding thread wait for the one it caused.
class PacketCounter : public ISorvoData {
 public:
  int OnEncodeData(int, AVPacket*) override {
    std::lock_guard<std::mutex> hold(m_lock);
    ++m_count;
    m_changed.notify_all();
    return 1;
  }
  void WaitFor(int64_t count) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [&] { return m_count >= count; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  int64_t m_count = 0;  // guarded by m_lock
};

// A client that reads everything the sink's server sends until the server closes.
class ReadingClient {
 public:
  explicit ReadingClient(unsigned short port) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0)
      m_thread = std::thread([this] {
        char buffer[65536];
        while (recv(m_fd, buffer, sizeof(buffer), 0) > 0) {
        }
      });
  }
  ~ReadingClient() {
    shutdown(m_fd, SHUT_RDWR);
    if (m_thread.joinable())
      m_thread.join();
    close(m_fd);
  }

 private:
  int m_fd;
  std::thread m_thread;
};

struct SinkReleaser {
  void operator()(CSorvoSinkFF* sink) const {
    sink->Close();
    sink->StopPrivateStream();
    sink->Release();
  }
};
using SinkPtr = std::unique_ptr<CSorvoSinkFF, SinkReleaser>;

SinkPtr MakeSink(const ScratchDir& dir, PixelFormat format, int width, int height, int port) {
  InitSorvo();
  SinkPtr sink(new CSorvoSinkFF());
  if (sink->Create("bench", dir.File("bench.mp4").c_str(), width, height, format, kFrameRate,
                   kBitRate, 0, port, 0) != 1)
    return nullptr;
  return sink;
}

void BM_SinkOnBuffer(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  ScratchDir dir;
  SinkPtr sink = MakeSink(dir, PIX_FMT_BGR24, width, height, 0);
  if (!sink) {
    state.SkipWithError("create failed");
    return;
  }
  std::vector<std::vector<uint8_t>> pictures =
      sorvo::bench::MakePictures(PIX_FMT_BGR24, width, height, kPictures);
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& picture = pictures[n++ % kPictures];
    sink->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), width, height,
                   PIX_FMT_BGR24);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(pictures[0].size()));
}

void BM_MemcpyPicture(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  std::vector<std::vector<uint8_t>> pictures =
      sorvo::bench::MakePictures(PIX_FMT_BGR24, width, height, kPictures);
  std::vector<uint8_t> target(pictures[0].size());
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& picture = pictures[n++ % kPictures];
    std::memcpy(target.data(), picture.data(), picture.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(target.size()));
}

// Every picture waits for its packet, so that none is given up and the process CPU counts
// the whole road: copy, encode, files, framing, four clients, the data target.
void BM_SinkEveryOutput(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  ScratchDir dir;
  std::ofstream(dir.File("SettingVideo.ini")) << "[Sorvo]\nSaveStream=1\n";
  const unsigned short port = sorvo::test::FreeLoopbackPort();
  SinkPtr sink = MakeSink(dir, PIX_FMT_BGR24, width, height, port);
  if (!sink || sink->StartRecord() != 1 || sink->StartPrivateStream() != 1) {
    state.SkipWithError("create failed");
    return;
  }
  PacketCounter counter;
  sink->SetEncodeDataOutputCB(&counter);
  std::vector<std::unique_ptr<ReadingClient>> clients;
  for (int i = 0; i < 4; ++i)
    clients.push_back(std::make_unique<ReadingClient>(port));
  std::vector<std::vector<uint8_t>> pictures =
      sorvo::bench::MakePictures(PIX_FMT_BGR24, width, height, kPictures);
  int64_t n = 0;
  for (auto _ : state) {
    std::vector<uint8_t>& picture = pictures[n++ % kPictures];
    sink->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), width, height,
                   PIX_FMT_BGR24);
    counter.WaitFor(n);
  }
  StreamInfo info;
  sink->GetStreamInfo(&info);
  state.counters["clients"] = info.clients;
  sink.reset();
  clients.clear();
  state.SetItemsProcessed(state.iterations());
}

void BM_BareEncodeLoop(benchmark::State& state) {
  sorvo::bench::BareEncodeLoop(state, PIX_FMT_BGR24, static_cast<int>(state.range(0)),
                               static_cast<int>(state.range(1)), kFrameRate, kBitRate, kPictures);
}

// Resident memory of a sink with its files on after 100 and after 10,000 pictures.
void BM_SinkMemory(benchmark::State& state) {
  const int width = 320, height = 240;
  ScratchDir dir;
  for (auto _ : state) {
    SinkPtr sink = MakeSink(dir, PIX_FMT_YUV420P, width, height, 0);
    if (!sink || sink->StartRecord() != 1 || sink->StartPrivateStream() != 1) {
      state.SkipWithError("create failed");
      return;
    }
    PacketCounter counter;
    sink->SetEncodeDataOutputCB(&counter);
    std::vector<std::vector<uint8_t>> pictures =
        sorvo::bench::MakePictures(PIX_FMT_YUV420P, width, height, kPictures);
    long after100 = 0;
    for (int64_t n = 1; n <= 10000; ++n) {
      std::vector<uint8_t>& picture = pictures[n % kPictures];
      sink->OnBuffer(0, 0, picture.data(), static_cast<long>(picture.size()), width, height,
                     PIX_FMT_YUV420P);
      counter.WaitFor(n);
      if (n == 100)
        after100 = sorvo::bench::ResidentKilobytes();
    }
    const long after10000 = sorvo::bench::ResidentKilobytes();
    state.counters["rss_kB_after_100"] = static_cast<double>(after100);
    state.counters["rss_kB_after_10000"] = static_cast<double>(after10000);
    state.counters["growth"] = after100 > 0 ? static_cast<double>(after10000) / after100 : 0;
  }
}

BENCHMARK(BM_SinkOnBuffer)->Args({1280, 720});
BENCHMARK(BM_MemcpyPicture)->Args({1280, 720});
BENCHMARK(BM_SinkEveryOutput)->Args({1280, 720})->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_BareEncodeLoop)->Args({1280, 720})->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_SinkMemory)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunWithRatios(
      argc, argv,
      {{"BM_SinkOnBuffer/1280/720", "BM_MemcpyPicture/1280/720", 1.5, true},
       {"BM_SinkEveryOutput/1280/720/process_time/real_time",
        "BM_BareEncodeLoop/1280/720/process_time/real_time", 0.9, false}});
}
