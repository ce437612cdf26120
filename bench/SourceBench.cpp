// sorvo-record's own sources. What its test camera costs per picture against the least any
// source of raw pictures costs: writing the picture's bytes once (a memcpy of a prepared
// picture of the same size into the feeder's buffer); a test pattern that costs much more
// would make a measurement of the recorder a measurement of the pattern. And what recording
// a source's pictures costs, as process CPU per picture, through a sink that copies each
// from the feeder's buffer (OnBuffer) and through one that lends the buffer the source
// writes into (LendBuffer), against the bare loop: the same pictures made the same way and
// encoded with the module's settings by libavcodec alone (BareEncoder.h). The sources are
// the test camera (drawn) and a decoded input (libavformat's testsrc2 through MediaCamera,
// converted with libswscale as the reconnecting source converts it, into the buffer).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BareEncoder.h"
#include "RatioReporter.h"
#include "ScratchDir.h"
#include "sink/CSorvoSinkFF.h"
#include "tools/record/sources/MediaCamera.h"
#include "tools/record/sources/PictureConverter.h"
#include "tools/record/sources/SyntheticCamera.h"

namespace {

using sorvo::tools::SyntheticCamera;

constexpr int kRate = 25;

void BM_SyntheticCameraNext(benchmark::State& state) {
  const auto format = static_cast<PixelFormat>(state.range(0));
  const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
  SyntheticCamera camera(1, width, height, format, kRate);
  std::vector<uint8_t> buffer;
  double due = 0;
  camera.Next(&buffer, &due);  // the buffer's first allocation is the feeder's, once
  for (auto _ : state) {
    camera.Next(&buffer, &due);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_CopyPicture(benchmark::State& state) {
  const int bytes =
      SorvoPictureSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)),
                       static_cast<int>(state.range(2)));
  const std::vector<uint8_t> prepared(bytes, 0x80);
  std::vector<uint8_t> buffer(bytes);
  for (auto _ : state) {
    std::memcpy(buffer.data(), prepared.data(), bytes);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations());
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

constexpr int kRecordWidth = 1280;
constexpr int kRecordHeight = 720;
constexpr int kBitRate = 2000000;

// A source of the recorder's: the next picture, written where it is told.
struct Made {
  PixelFormat format = PIX_FMT_NONE;
  long length = 0;
  std::function<bool(uint8_t*)> write;  // the next picture
  std::shared_ptr<void> keep;           // what `write` uses
};

Made TestCamera() {
  auto camera =
      std::make_shared<SyntheticCamera>(1, kRecordWidth, kRecordHeight, PIX_FMT_BGR24, kRate);
  Made made{PIX_FMT_BGR24, camera->pictureSize(), nullptr, camera};
  made.write = [camera = camera.get()](uint8_t* into) {
    double due = 0;
    return camera->NextPicture(&due) && camera->WritePicture(into);
  };
  return made;
}

Made DecodedInput() {
  struct Input {
    std::unique_ptr<sorvo::tools::MediaCamera> camera;
    sorvo::FramePtr frame;
    sorvo::tools::PictureConverter converter{kRecordWidth, kRecordHeight};
  };
  auto input = std::make_shared<Input>();
  std::string error;
  input->camera = sorvo::tools::MediaCamera::Open(
      "lavfi:testsrc2=size=" + std::to_string(kRecordWidth) + "x" + std::to_string(kRecordHeight) +
          ":rate=" + std::to_string(kRate),
      &error);
  Made made{PIX_FMT_YUV420P, SorvoPictureSize(PIX_FMT_YUV420P, kRecordWidth, kRecordHeight),
            nullptr, input};
  if (!input->camera)
    return made;
  made.write = [input = input.get()](uint8_t* into) {
    double due = 0;
    return input->camera->NextDecoded(&input->frame, &due) &&
           input->converter.Convert(input->frame.get(), into);
  };
  return made;
}

enum Path { kBare, kCopy, kLend };

// Counts a sink's packets, on its worker.
class PacketCount : public ISorvoData {
 public:
  int OnEncodeData(int, AVPacket*) override {
    m_packets.fetch_add(1);
    return 1;
  }
  long long packets() const { return m_packets.load(); }

 private:
  std::atomic<long long> m_packets{0};
};

// One picture an iteration, timed as the process's CPU, the sink's worker included: made by
// the source and encoded by the bare loop, or handed to a sink, whose packet it waits for
// (so that no picture is given up; waiting costs no CPU to speak of).
void RecordSource(benchmark::State& state, Made made, Path path) {
  if (!made.write) {
    state.SkipWithError("the source did not open");
    return;
  }
  sorvo::bench::ScratchDir dir;
  sorvo::bench::BareEncoder bare(made.format, kRecordWidth, kRecordHeight, kRate, kBitRate);
  CSorvoSinkFF sink;
  PacketCount count;
  sink.Create("source", dir.File("source.mp4").c_str(), kRecordWidth, kRecordHeight, made.format,
              kRate, kBitRate, 0, 0, 0);
  sink.SetEncodeDataOutputCB(&count);
  std::vector<uint8_t> buffer(static_cast<size_t>(made.length));
  long long handed = 0;
  bool failed = false;
  for (auto _ : state) {
    const double start = ProcessCpuSeconds();
    const double time = static_cast<double>(handed) / kRate;
    if (path == kBare) {
      failed = !made.write(buffer.data()) || bare.Encode(buffer) < 0;
    } else if (path == kCopy) {
      failed = !made.write(buffer.data());
      sink.OnBuffer(0, time, buffer.data(), made.length, kRecordWidth, kRecordHeight, made.format);
    } else {
      long capacity = 0;
      unsigned char* lent = sink.LendBuffer(&capacity);
      failed = lent == nullptr || capacity < made.length || !made.write(lent);
      if (lent != nullptr)
        sink.ReturnBuffer(lent, 0, time, failed ? 0 : made.length, kRecordWidth, kRecordHeight,
                          made.format);
    }
    if (path != kBare) {
      ++handed;
      while (!failed && count.packets() + sink.GetLeftOutPictures() < handed)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.SetIterationTime(ProcessCpuSeconds() - start);
    if (failed) {
      state.SkipWithError("a picture was not made or not taken");
      break;
    }
  }
  sink.SetEncodeDataOutputCB(nullptr);
  sink.Close();
  state.SetItemsProcessed(state.iterations());
}

void BM_TestCameraBare(benchmark::State& state) {
  RecordSource(state, TestCamera(), kBare);
}
void BM_TestCameraCopied(benchmark::State& state) {
  RecordSource(state, TestCamera(), kCopy);
}
void BM_TestCameraLent(benchmark::State& state) {
  RecordSource(state, TestCamera(), kLend);
}
void BM_DecodedBare(benchmark::State& state) {
  RecordSource(state, DecodedInput(), kBare);
}
void BM_DecodedCopied(benchmark::State& state) {
  RecordSource(state, DecodedInput(), kCopy);
}
void BM_DecodedLent(benchmark::State& state) {
  RecordSource(state, DecodedInput(), kLend);
}

constexpr int kRepetitions = 5;

#define SOURCE_SIZES                        \
  ArgNames({"format", "w", "h"})            \
      ->Args({PIX_FMT_BGR24, 3840, 2160})   \
      ->Args({PIX_FMT_YUV420P, 3840, 2160}) \
      ->Args({PIX_FMT_BGR24, 1920, 1080})   \
      ->Repetitions(kRepetitions)           \
      ->Unit(benchmark::kMillisecond)

BENCHMARK(BM_SyntheticCameraNext)->SOURCE_SIZES;
BENCHMARK(BM_CopyPicture)->SOURCE_SIZES;

#define RECORDED \
  Iterations(250)->Repetitions(kRepetitions)->UseManualTime()->Unit(benchmark::kMillisecond)

BENCHMARK(BM_TestCameraBare)->RECORDED;
BENCHMARK(BM_TestCameraCopied)->RECORDED;
BENCHMARK(BM_TestCameraLent)->RECORDED;
BENCHMARK(BM_DecodedBare)->RECORDED;
BENCHMARK(BM_DecodedCopied)->RECORDED;
BENCHMARK(BM_DecodedLent)->RECORDED;

}  // namespace

int main(int argc, char** argv) {
  std::vector<sorvo::bench::Ratio> ratios;
  for (const char* size :
       {"format:3/w:3840/h:2160", "format:0/w:3840/h:2160", "format:3/w:1920/h:1080"})
    ratios.push_back({std::string("BM_SyntheticCameraNext/") + size,
                      std::string("BM_CopyPicture/") + size, 1.5, true});
  // b/c and d/c for each source: the sink's cost above the bare loop's, with and without
  // the copy (lent at most the bare loop's 1.0, as the library's own lending measured).
  for (const char* source : {"TestCamera", "Decoded"})
    for (const char* path : {"Copied", "Lent"})
      ratios.push_back({std::string("BM_") + source + path + "/manual_time",
                        std::string("BM_") + source + "Bare/manual_time",
                        std::string(path) == "Lent" ? 1.0 : 1.1, true});
  return sorvo::bench::RunWithRatios(argc, argv, ratios, /*interleave=*/true);
}
