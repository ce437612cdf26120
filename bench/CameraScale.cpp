// The measuring side of bench/cameras: how many cameras at 25 pictures a second one machine
// records, set against bare encoding loops in the same run, and how one large camera fares.
// Each mode is one process and prints one line of JSON.
//
//   sorvo_camera_scale alone SECONDS [--size WxH]
//       One bare libswscale + libavcodec loop as fast as it goes: CPU per picture.
//   sorvo_camera_scale bare CAMERAS SECONDS [--size WxH]
//       CAMERAS bare loops side by side, each a feeder thread and an encoding thread with
//       the sinks' queue between them (below).
//   sorvo_camera_scale sorvo CAMERAS SECONDS [--size WxH] [--stall MS@SECOND]
//                                            [--hog THREADS:S@SECOND]
//       CAMERAS sinks made by CreateSorvo, each with its MP4 and server, under one SorvoMuxer with
//       its director (camera 0 selected, stretched to 1280 x 720) and multi-stream file (cameras 0
//       to 8), plus an audio sink with a tone into that file, as sorvo-record sets them up. The
//       queue depth is whatever SettingVideo.ini in SORVO_APP_DIR says, and so are the encoding
//       threads. --stall holds every sink's worker for MS once at SECOND, as a busy machine
//       would; --hog runs THREADS threads that only spin for S seconds from SECOND on, as another
//       program taking the processors would (their CPU is in the figures then).
//
// Both sides are held to one rule. A feeder thread per camera hands over picture k at k / 25 s
// on one clock; a picture it could only hand over more than two periods after it was due is
// not handed over (late), and a picture that finds the camera's queue of five full pushes the
// oldest waiting one out (lost), as the sinks' frame pool does. A count is sustained when no
// picture was late or lost. The bare side's queue holds pointers to the prepared pictures (a
// bare program copies nothing); Sorvo's sinks copy each picture into their pool.
//
// All use the same prepared moving-noise pictures (MovingNoise.h) of --size (1280x720), the
// sinks' settings (2,000,000 bit/s, GOP 25, no B-frames, bicubic BGR24 to YUV 4:2:0, one
// encoding thread for the bare loops). The camera and sound sinks serve their streams on free
// ports, with no client; the director serves none (its fixed port may be another program's).
// CPU is the process's user + system time between the end of the first --warmup seconds (2) and
// the end of the feeding, per picture handed over.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BareEncoder.h"
#include "MovingNoise.h"
#include "audio/CAudioSinkFF.h"
#include "codec/FFEncoder.h"
#include "codec/FFWriteFile.h"
#include "host/AppDirectory.h"
#include "muxing/SorvoEntry.h"
#include "muxing/SorvoMuxer.h"
#include "sink/ISorvoSink.h"
#include "support/CComPtr.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRate = 25;
constexpr int kBitRate = 2000000;
constexpr int kDirectorWidth = 1280;
constexpr int kDirectorHeight = 720;
constexpr double kPeriod = 1.0 / kRate;
constexpr double kLatePeriods = 2;  // a picture this late is not handed over
constexpr int kQueueDepth = 5;      // the sinks' default frame pool
constexpr double kWarmup = 2.0;
constexpr int kAudioTag = 200;
constexpr int kSoundRate = 44100;
constexpr int kSoundSamples = 1152;

// A TCP port nothing listens on now, for a sink's server (the sinks serve their streams,
// as in a recording session, though no client connects).
int FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t size = sizeof(address);
  int port = 0;
  if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  if (probe >= 0)
    close(probe);
  return port;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Kilobytes of a "VmRSS:"-like line of /proc/self/status.
long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0)
      return std::atol(line.c_str() + std::strlen(key));
  return -1;
}

// The cameras' picture size, and the prepared pictures cycled: two seconds of them where
// memory allows, fewer for large pictures.
struct Pictures {
  int width = 1280;
  int height = 720;
  std::vector<std::vector<uint8_t>> prepared;
  const std::vector<uint8_t>& At(long long k, int camera) const {
    return prepared[(k + 7 * camera) % prepared.size()];
  }
};

Clock::time_point At(Clock::time_point start, double seconds) {
  return start +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU of the whole process over the steady part of a run: sampled once the warm-up is
// over and again when the feeding ends.
class CpuWindow {
 public:
  explicit CpuWindow(Clock::time_point start) : m_start(start) {}
  void SampleWarm() { m_warm = CpuSeconds(); }
  double Seconds() const { return CpuSeconds() - m_warm; }
  Clock::time_point WarmAt() const { return At(m_start, kWarmup); }

 private:
  Clock::time_point m_start;
  double m_warm = 0;
};

int Alone(double seconds, const Pictures& pictures) {
  sorvo::bench::BareEncoder bare(PIX_FMT_BGR24, pictures.width, pictures.height, kRate, kBitRate);
  if (!bare.ok())
    return 1;
  for (int n = 0; n < kRate; ++n)  // warm: the codec's first pictures cost more
    bare.EncodePacket(pictures.At(n, 0).data());
  const double cpu0 = ThreadCpuSeconds();
  const Clock::time_point start = Clock::now();
  long long encoded = 0;
  while (Since(start) < seconds) {
    if (bare.EncodePacket(pictures.At(encoded, 0).data()) == nullptr)
      return 1;
    ++encoded;
  }
  const double cpu = ThreadCpuSeconds() - cpu0;
  std::printf(
      "{\"mode\": \"alone\", \"pictures\": %lld, \"cpuSeconds\": %.3f, "
      "\"msPerPicture\": %.3f, \"wallSeconds\": %.3f}\n",
      encoded, cpu, 1000 * cpu / encoded, Since(start));
  return 0;
}

// A camera's queue of pictures waiting to be encoded, as deep as the sinks' pool: a picture
// that finds it full pushes the oldest waiting one out. Feeder and encoder threads.
class PictureQueue {
 public:
  void Push(const uint8_t* picture) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      if (m_waiting.size() == kQueueDepth) {
        m_waiting.pop_front();
        ++m_lost;
      }
      m_waiting.push_back(picture);
    }
    m_ready.notify_one();
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_finished = true;
    }
    m_ready.notify_one();
  }
  // The next picture, or null once finished and empty.
  const uint8_t* Pop() {
    std::unique_lock<std::mutex> hold(m_lock);
    m_ready.wait(hold, [this] { return m_finished || !m_waiting.empty(); });
    if (m_waiting.empty())
      return nullptr;
    const uint8_t* picture = m_waiting.front();
    m_waiting.pop_front();
    return picture;
  }
  long long lost() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lost;
  }

 private:
  std::mutex m_lock;  // guards the members below
  std::condition_variable m_ready;
  std::deque<const uint8_t*> m_waiting;
  bool m_finished = false;
  long long m_lost = 0;
};

// Hands pictures 0 .. count - 1 over at k / 25 s from `start`, each unless it is more than
// two periods late; what `handOver` is given is the picture's number. The late count.
template <typename HandOver>
long long Feed(Clock::time_point start, int count, HandOver handOver) {
  long long late = 0;
  for (int k = 0; k < count; ++k) {
    const Clock::time_point due = At(start, k * kPeriod);
    std::this_thread::sleep_until(due);
    if (Clock::now() - due > std::chrono::duration<double>(kLatePeriods * kPeriod)) {
      ++late;
      continue;
    }
    handOver(k);
  }
  return late;
}

int Bare(int loops, double seconds, const Pictures& pictures) {
  const int count = static_cast<int>(seconds * kRate);
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(500);
  CpuWindow window(start);
  std::atomic<long long> late{0}, lost{0}, handed{0}, encoded{0}, failed{0}, afterWarm{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < loops; ++i) {
    threads.emplace_back([&, i] {
      PictureQueue queue;
      std::thread encoder([&] {
        sorvo::bench::BareEncoder bare(PIX_FMT_BGR24, pictures.width, pictures.height, kRate,
                                       kBitRate);
        while (const uint8_t* picture = queue.Pop()) {
          if (!bare.ok() || bare.EncodePacket(picture) == nullptr)
            ++failed;
          ++encoded;
        }
      });
      late += Feed(start, count, [&](int k) {
        queue.Push(pictures.At(k, i).data());
        ++handed;
        if (k * kPeriod >= kWarmup)
          ++afterWarm;
      });
      queue.Finish();
      encoder.join();
      lost += queue.lost();
    });
  }
  std::this_thread::sleep_until(window.WarmAt());
  window.SampleWarm();
  for (std::thread& thread : threads)
    thread.join();
  const double cpu = window.Seconds();
  std::printf(
      "{\"mode\": \"bare\", \"cameras\": %d, \"delivered\": %lld, \"late\": %lld, "
      "\"lost\": %lld, \"packets\": %lld, \"failed\": %lld, \"cpuSeconds\": %.3f, "
      "\"msPerPicture\": %.3f}\n",
      loops, handed.load(), late.load(), lost.load(), encoded.load() - failed.load(), failed.load(),
      cpu, 1000 * cpu / std::max<long long>(1, afterWarm.load()));
  return 0;
}

// Counts a sink's packets and hands them on; optionally holds the worker once, at a
// moment on the run's clock, as a machine too busy to encode would.
class PacketTap : public ISorvoData {
 public:
  void Set(ISorvoData* next, Clock::time_point stallAt, int stallMs) {
    m_next = next;
    m_stallAt = stallAt;
    m_stallMs = stallMs;
  }
  int OnEncodeData(int id, AVPacket* packet) override {
    m_packets.fetch_add(1, std::memory_order_relaxed);
    const int result = m_next != nullptr ? m_next->OnEncodeData(id, packet) : 1;
    if (m_stallMs > 0 && !m_stalled && Clock::now() >= m_stallAt) {
      m_stalled = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(m_stallMs));
    }
    return result;
  }
  long long packets() const { return m_packets.load(std::memory_order_relaxed); }

 private:
  ISorvoData* m_next = nullptr;  // set before packets flow
  Clock::time_point m_stallAt;
  int m_stallMs = 0;
  bool m_stalled = false;  // the worker's own
  std::atomic<long long> m_packets{0};
};

struct Camera {
  CComPtr<ISorvoSink> sink;
  PacketTap tap;
  std::atomic<long long> delivered{0};
  std::atomic<long long> late{0};
};

StreamInfo Info(ISorvoSink* sink) {
  StreamInfo info;
  sink->GetStreamInfo(&info);
  return info;
}

long long LeftOut(ISorvoSink* sink) {
  const auto* encoder = dynamic_cast<const FFEncoder*>(sink);
  return encoder != nullptr ? encoder->GetLeftOutPictures() : 0;
}

// Threads that do nothing but take processor time, from `at` for `seconds`.
class Hog {
 public:
  Hog(int threads, double seconds, Clock::time_point at) {
    for (int i = 0; i < threads; ++i)
      m_threads.emplace_back([this, at, seconds] {
        std::this_thread::sleep_until(at);
        const Clock::time_point end = At(at, seconds);
        volatile uint64_t spin = 0;
        while (Clock::now() < end && !m_stop.load(std::memory_order_relaxed))
          for (int n = 0; n < 10000; ++n)
            spin = spin + 1;
      });
  }
  ~Hog() {
    m_stop = true;
    for (std::thread& thread : m_threads)
      thread.join();
  }

 private:
  std::atomic<bool> m_stop{false};
  std::vector<std::thread> m_threads;
};

struct Disturbance {
  int stallMs = 0;  // every worker held once for this long
  double stallAt = 0;
  int hogThreads = 0;  // spinning threads
  double hogSeconds = 0;
  double hogAt = 0;
};

int Sorvo(int cameras, double seconds, const Disturbance& disturbance, const Pictures& pictures) {
  InitSorvo();
  const std::string dir = sorvo::AppDirectory() + "/";
  // The director has no server either: port 8050 may be another program's.
  sorvo::SetDirectorPortForTesting(0);
  const int count = static_cast<int>(seconds * kRate);

  std::vector<std::unique_ptr<Camera>> all;
  for (int i = 0; i < cameras; ++i) {
    auto camera = std::make_unique<Camera>();
    VideoInfo info;
    InitVideoHeader(info, pictures.width, pictures.height, 3, kRate);  // BGR24
    const std::string name = "camera" + std::to_string(i);
    ISorvoSink* sink = nullptr;
    if (CreateSorvo(name.c_str(), (dir + name + ".mp4").c_str(), info, kBitRate, FreePort(), &sink,
                    i, 0) != 1) {
      std::fprintf(stderr, "camera %d could not be made\n", i);
      return 1;
    }
    camera->sink.Attach(sink);
    if (sink->StartRecord() != 1) {
      std::fprintf(stderr, "camera %d could not start %s%s.mp4\n", i, dir.c_str(), name.c_str());
      return 1;
    }
    sink->SetEncodeDataOutputCB(&camera->tap);
    all.push_back(std::move(camera));
  }
  SorvoMuxer muxer;
  if (muxer.CreateSingleMux("director", (dir + "director.mp4").c_str(), kDirectorWidth,
                            kDirectorHeight, PIX_FMT_YUV420P, kRate, kBitRate, 0, ZOOM_STRETCH,
                            0) != 1) {
    std::fprintf(stderr, "the director could not be made\n");
    return 1;
  }
  CComPtr<ISorvoSink> director = muxer.GetDirector();
  PacketTap directorTap;
  director->SetEncodeDataOutputCB(&directorTap);
  if (director->StartRecord() != 1)
    return 1;
  const int streams = std::min(cameras, SorvoMuxer::kCameras);
  for (int i = 0; i < streams; ++i) {
    muxer.SetSink(i, all[i]->sink.get());
    muxer.AddSingleMux(all[i]->sink);
  }
  muxer.SetCurSingleMux(CAMERA_0);

  CAudioSinkFF sound;
  PacketTap soundTap;
  tWAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = kSoundRate;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 4;
  format.nAvgBytesPerSec = kSoundRate * 4;
  if (sound.Create("sound", (dir + "sound.wav").c_str(), format, FreePort()) != 1)
    return 1;
  sound.SetEncodeDataOutputCB(kAudioTag, &soundTap);
  muxer.GetMultiFile().AttachAudioEncoder(0, &sound);
  if (muxer.StartMultMux() != 1) {
    std::fprintf(stderr, "the multi-stream file could not be made\n");
    return 1;
  }

  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(500);
  const Clock::time_point stallMoment = At(start, disturbance.stallAt);
  const int stallMs = disturbance.stallMs;
  for (int i = 0; i < cameras; ++i)
    all[i]->tap.Set(i < streams ? static_cast<ISorvoData*>(&muxer) : nullptr, stallMoment, stallMs);
  directorTap.Set(nullptr, stallMoment, stallMs);
  soundTap.Set(&muxer, stallMoment, 0);
  Hog hog(disturbance.hogThreads, disturbance.hogSeconds, At(start, disturbance.hogAt));

  CpuWindow window(start);
  std::atomic<long long> afterWarm{0};
  std::vector<std::thread> feeders;
  for (int i = 0; i < cameras; ++i) {
    feeders.emplace_back([&, i] {
      Camera& camera = *all[i];
      camera.late = Feed(start, count, [&](int k) {
        auto* picture = const_cast<uint8_t*>(pictures.At(k, i).data());
        camera.sink->OnBuffer(i, k * kPeriod, picture, static_cast<long>(pictures.At(k, i).size()),
                              pictures.width, pictures.height, PIX_FMT_BGR24);
        ++camera.delivered;
        if (k * kPeriod >= kWarmup)
          ++afterWarm;
      });
    });
  }
  std::thread tone([&] {
    std::vector<int16_t> pcm(kSoundSamples * 2);
    for (long long n = 0; n * kSoundSamples < seconds * kSoundRate; ++n) {
      std::this_thread::sleep_until(At(start, static_cast<double>(n * kSoundSamples) / kSoundRate));
      for (int s = 0; s < kSoundSamples; ++s)
        pcm[2 * s] = pcm[2 * s + 1] = static_cast<int16_t>(
            6000 * std::sin(2 * M_PI * 440.0 * (n * kSoundSamples + s) / kSoundRate));
      static_cast<IGrabberCallBack&>(sound).OnBuffer(
          0, static_cast<double>(n * kSoundSamples) / kSoundRate,
          reinterpret_cast<unsigned char*>(pcm.data()), static_cast<long>(pcm.size() * 2), 0, 0,
          PIX_FMT_NONE);
    }
  });
  std::this_thread::sleep_until(window.WarmAt());
  window.SampleWarm();
  for (std::thread& feeder : feeders)
    feeder.join();
  const double cpu = window.Seconds();
  const long rssKb = StatusKb("VmRSS:");
  tone.join();

  // What is still queued is given time to be encoded; a picture given up never comes.
  auto waiting = [&] {
    long long left = 0;
    for (const auto& camera : all)
      left += Info(camera->sink.get()).framesIn - camera->tap.packets();
    return left + Info(director.get()).framesIn - directorTap.packets() - LeftOut(director.get());
  };
  long long last = -1;
  Clock::time_point changed = Clock::now();
  for (const Clock::time_point end = Clock::now() + std::chrono::seconds(5); Clock::now() < end;) {
    const long long left = waiting();
    if (left <= 0)
      break;
    if (left != last) {
      last = left;
      changed = Clock::now();
    } else if (Clock::now() - changed > std::chrono::milliseconds(500)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  long long delivered = 0, late = 0, lost = 0, packets = 0;
  for (const auto& camera : all) {
    delivered += camera->delivered;
    late += camera->late;
    lost += Info(camera->sink.get()).framesIn - camera->tap.packets();
    packets += camera->tap.packets();
  }
  const long long directorIn = Info(director.get()).framesIn;
  const long long directorLost = directorIn - directorTap.packets() - LeftOut(director.get());
  packets += directorTap.packets();
  sound.Close();
  for (const auto& camera : all)
    camera->sink->Close();
  muxer.StopAllMux();
  director = nullptr;

  std::printf(
      "{\"mode\": \"sorvo\", \"cameras\": %d, \"delivered\": %lld, \"late\": %lld, "
      "\"lost\": %lld, \"directorIn\": %lld, \"directorLost\": %lld, "
      "\"packets\": %lld, \"cameraPackets\": %lld, \"cpuSeconds\": %.3f, "
      "\"msPerPicture\": %.3f, \"msPerEncoded\": %.3f, \"rssKb\": %ld, \"hwmKb\": %ld}\n",
      cameras, delivered, late, lost, directorIn, directorLost, packets,
      packets - directorTap.packets(), cpu, 1000 * cpu / std::max<long long>(1, afterWarm.load()),
      1000 * cpu / std::max<long long>(1, afterWarm.load() * (cameras + 1) / cameras), rssKb,
      StatusKb("VmHWM:"));
  return 0;
}

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s alone SECONDS | bare CAMERAS SECONDS |\n"
               "       sorvo CAMERAS SECONDS [--stall MS@SECOND] [--hog THREADS:S@SECOND]\n"
               "       each with [--size WxH] (1280x720)\n",
               program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // --size may come anywhere after the mode; what is left is the mode's own.
  Pictures pictures;
  std::vector<const char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%dx%d", &pictures.width, &pictures.height) != 2 ||
          pictures.width < 16 || pictures.height < 16)
        return Usage(argv[0]);
      continue;
    }
    args.push_back(argv[i]);
  }
  const int count = static_cast<int>(args.size());
  if (count < 3)
    return Usage(argv[0]);
  const std::string mode = args[1];
  // Two seconds of pictures, or as many as fit in about 300 MB.
  const long long bytes = 3LL * pictures.width * pictures.height;
  const int prepared = static_cast<int>(std::clamp<long long>(300000000 / bytes, 8, 2 * kRate));
  pictures.prepared = sorvo::bench::MovingNoisePictures(pictures.width, pictures.height, prepared);
  if (mode == "alone" && count == 3)
    return Alone(std::atof(args[2]), pictures);
  if (count < 4)
    return Usage(argv[0]);
  const int cameras = std::atoi(args[2]);
  const double seconds = std::atof(args[3]);
  if (cameras < 1 || seconds < kWarmup + 1)
    return Usage(argv[0]);
  if (mode == "bare" && count == 4)
    return Bare(cameras, seconds, pictures);
  if (mode != "sorvo")
    return Usage(argv[0]);
  Disturbance disturbance;
  for (int i = 4; i + 1 < count; i += 2) {
    Disturbance& d = disturbance;
    if (std::strcmp(args[i], "--stall") == 0 &&
        std::sscanf(args[i + 1], "%d@%lf", &d.stallMs, &d.stallAt) == 2)
      continue;
    if (std::strcmp(args[i], "--hog") == 0 &&
        std::sscanf(args[i + 1], "%d:%lf@%lf", &d.hogThreads, &d.hogSeconds, &d.hogAt) == 3)
      continue;
    return Usage(argv[0]);
  }
  if (count % 2 != 0)
    return Usage(argv[0]);
  return Sorvo(cameras, seconds, disturbance, pictures);
}
