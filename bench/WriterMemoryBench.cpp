// Memory of the MP4 writers over long recordings, in simulated hours: each camera's
// FFWriteFile takes the packets of a day at 25 pictures a second with MP3 sound beside them,
// as fast as it will, and the resident memory after the first simulated hour and after the
// last gives the growth per camera-hour (target: under 1 MB). The baseline, in the same run:
// the same packets into libavformat's regular MP4 muxer, which keeps every sample's index
// entry until its trailer, as each of the recorder's files did before they were written as
// fragments. Also how long CloseFile takes to make such a file regular, per hour of file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "RatioReporter.h"
#include "ResidentMemory.h"
#include "ScratchDir.h"
#include "codec/FFAudioEncoder.h"
#include "codec/FFDeleters.h"
#include "codec/FFEncoder.h"
#include "codec/FFWriteFile.h"

namespace {

constexpr int kFrameRate = 25;
constexpr int kSampleRate = 22050;
constexpr int kSoundFrame = 576;  // samples in an MPEG-2 Layer III frame
constexpr int64_t kSecondsPerHour = 3600;

// A GOP of small pictures and a few MP3 frames, to be written again and again: what the
// index costs depends on the number of packets, not on their size.
struct Packets {
  std::vector<std::vector<uint8_t>> video;
  std::vector<int> videoFlags;
  std::vector<std::vector<uint8_t>> sound;
};

class VideoKeeper : public FFEncoder {
 public:
  std::vector<std::vector<uint8_t>>* packets = nullptr;
  std::vector<int>* flags = nullptr;

 protected:
  void OnEncode(AVPacket* packet) override {
    if (packets == nullptr)
      return;
    packets->emplace_back(packet->data, packet->data + packet->size);
    flags->push_back(packet->flags);
  }
};

class SoundKeeper : public FFAudioEncoder {
 public:
  std::vector<std::vector<uint8_t>>* packets = nullptr;

 protected:
  void OnEncode(AVPacket* packet) override {
    if (packets != nullptr)
      packets->emplace_back(packet->data, packet->data + packet->size);
  }
};

// The encoders whose codec contexts the files take; they also made the packets. A file of
// several cameras (the multi-stream file) takes one encoder per camera.
struct Encoders {
  VideoKeeper video;
  SoundKeeper sound;
  Packets packets;
  std::vector<std::unique_ptr<VideoKeeper>> cameras;

  FFEncoder* Camera(size_t index) {
    if (index == 0)
      return &video;
    while (cameras.size() < index) {
      cameras.push_back(std::make_unique<VideoKeeper>());
      cameras.back()->Open(96, 64, PIX_FMT_YUV420P, kFrameRate, 50000, "bench");
    }
    return cameras[index - 1].get();
  }

  bool Open() {
    if (video.Open(96, 64, PIX_FMT_YUV420P, kFrameRate, 50000, "bench") != 1 ||
        sound.Open(1, kSampleRate, 32000) != 1)
      return false;
    video.packets = &packets.video;
    video.flags = &packets.videoFlags;
    std::vector<uint8_t> picture(96 * 64 * 3 / 2);
    for (int i = 0; i < kFrameRate; ++i) {
      for (size_t p = 0; p < picture.size(); ++p)
        picture[p] = static_cast<uint8_t>(p * 7 + i * 13);
      video.Encode(i, 0, picture.data(), static_cast<long>(picture.size()));
    }
    video.packets = nullptr;
    sound.packets = &packets.sound;
    std::vector<uint8_t> pcm(kSoundFrame * 2);
    for (int i = 0; i < 8; ++i) {
      for (size_t s = 0; s < pcm.size(); ++s)
        pcm[s] = static_cast<uint8_t>(s * 31 + i);
      sound.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
    }
    sound.packets = nullptr;
    return packets.video.size() == kFrameRate && !packets.sound.empty();
  }
};

// One file: what a recording writes into it in a simulated second.
class Camera {
 public:
  virtual ~Camera() = default;
  virtual bool WriteSecond(const Packets& packets) = 0;
  virtual void Close() = 0;
};

// The library's writer, with the pictures of `cameras` cameras, whose key frames come at
// different moments (as several cameras' do), and the sound.
class WriterCamera : public Camera {
 public:
  bool Open(Encoders* encoders, const std::string& path, int cameras) {
    m_nCameras = cameras;
    for (int c = 0; c < cameras; ++c)
      m_writer.AttachVideoEncoder(c, encoders->Camera(c));
    m_writer.AttachAudioEncoder(0, &encoders->sound);
    m_pPacket.reset(av_packet_alloc());
    return m_writer.CreateFileA(path.c_str(), "mp4", cameras) == 1;
  }
  bool WriteSecond(const Packets& packets) override {
    for (int i = 0; i < kFrameRate; ++i) {
      for (int c = 0; c < m_nCameras; ++c) {
        const int n = (i + 7 * c) % kFrameRate;
        Set(packets.video[n], packets.videoFlags[n]);
        if (m_writer.AddVideoFrame(m_pPacket.get(), c) != 1)
          return false;
      }
      for (; m_nSound * kSoundFrame * kFrameRate < (m_nSeconds * kFrameRate + i + 1) * kSampleRate;
           ++m_nSound) {
        Set(packets.sound[m_nSound % packets.sound.size()], AV_PKT_FLAG_KEY);
        if (m_writer.AddAudioFrame(m_pPacket.get()) != 1)
          return false;
      }
    }
    ++m_nSeconds;
    return true;
  }
  void Close() override { m_writer.CloseFile(); }

 private:
  void Set(const std::vector<uint8_t>& bytes, int flags) {
    av_packet_unref(m_pPacket.get());
    m_pPacket->data = const_cast<uint8_t*>(bytes.data());
    m_pPacket->size = static_cast<int>(bytes.size());
    m_pPacket->flags = flags;
  }

  FFWriteFile m_writer;
  sorvo::PacketPtr m_pPacket;
  int m_nCameras = 1;
  int64_t m_nSeconds = 0;
  int64_t m_nSound = 0;
};

// The same packets, one camera's, into libavformat's regular MP4 muxer.
class MuxerCamera : public Camera {
 public:
  bool Open(Encoders* encoders, const std::string& path, int /*cameras*/) {
    AVFormatContext* made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "mp4", path.c_str()) < 0)
      return false;
    m_pContext.reset(made);
    for (AVCodecContext* codec :
         {encoders->video.GetCodecContext(), encoders->sound.GetCodecContext()}) {
      AVStream* stream = avformat_new_stream(made, nullptr);
      if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, codec) < 0)
        return false;
      stream->time_base = codec->time_base;
    }
    m_pPacket.reset(av_packet_alloc());
    return avio_open(&made->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
           avformat_write_header(made, nullptr) >= 0;
  }
  bool WriteSecond(const Packets& packets) override {
    for (int i = 0; i < kFrameRate; ++i) {
      const int64_t picture = m_nSeconds * kFrameRate + i;
      if (!Write(packets.video[i], packets.videoFlags[i], 0, picture, AVRational{1, kFrameRate}))
        return false;
      for (; m_nSound * kSoundFrame * kFrameRate < (picture + 1) * kSampleRate; ++m_nSound) {
        if (!Write(packets.sound[m_nSound % packets.sound.size()], AV_PKT_FLAG_KEY, 1,
                   m_nSound * kSoundFrame, AVRational{1, kSampleRate}))
          return false;
      }
    }
    ++m_nSeconds;
    return true;
  }
  void Close() override {
    av_write_trailer(m_pContext.get());
    m_pContext.reset();
  }

 private:
  bool Write(const std::vector<uint8_t>& bytes, int flags, int stream, int64_t n, AVRational base) {
    AVStream* to = m_pContext->streams[stream];
    av_packet_unref(m_pPacket.get());
    m_pPacket->data = const_cast<uint8_t*>(bytes.data());
    m_pPacket->size = static_cast<int>(bytes.size());
    m_pPacket->flags = flags;
    m_pPacket->stream_index = stream;
    m_pPacket->pts = m_pPacket->dts = av_rescale_q(n, base, to->time_base);
    m_pPacket->duration = av_rescale_q(n + 1, base, to->time_base) - m_pPacket->pts;
    return av_interleaved_write_frame(m_pContext.get(), m_pPacket.get()) == 0;
  }

  sorvo::OutputContextPtr m_pContext;
  sorvo::PacketPtr m_pPacket;
  int64_t m_nSeconds = 0;
  int64_t m_nSound = 0;
};

struct Result {
  double perCameraHour = 0;  // MiB of resident memory
  double closeSeconds = 0;   // per hour of file
};
Result g_writer, g_multi, g_muxer;

template <typename CameraType>
void MemoryOverHours(benchmark::State& state, Result* result) {
  const int filesOpen = static_cast<int>(state.range(0));
  const int hours = static_cast<int>(state.range(1));
  const int perFile = static_cast<int>(state.range(2));
  const int cameras = filesOpen * perFile;
  sorvo::bench::ScratchDir dir;
  Encoders encoders;
  if (!encoders.Open()) {
    state.SkipWithError("encoders failed");
    return;
  }
  for (auto _ : state) {
    std::vector<std::unique_ptr<CameraType>> files;
    for (int f = 0; f < filesOpen; ++f) {
      files.push_back(std::make_unique<CameraType>());
      if (!files.back()->Open(&encoders, dir.File("file" + std::to_string(f) + ".mp4"), perFile)) {
        state.SkipWithError("open failed");
        return;
      }
    }
    long afterFirstHour = 0;
    const auto started = std::chrono::steady_clock::now();
    for (int64_t second = 0; second < hours * kSecondsPerHour; ++second) {
      for (auto& file : files) {
        if (!file->WriteSecond(encoders.packets)) {
          state.SkipWithError("write failed");
          return;
        }
      }
      if (second + 1 == kSecondsPerHour)
        afterFirstHour = sorvo::bench::ResidentKilobytes();
    }
    const long atEnd = sorvo::bench::ResidentKilobytes();
    const double written =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto closing = std::chrono::steady_clock::now();
    for (auto& file : files)
      file->Close();
    const double closed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - closing).count();
    result->perCameraHour =
        (atEnd - afterFirstHour) / 1024.0 / (static_cast<double>(cameras) * (hours - 1));
    result->closeSeconds = closed / (static_cast<double>(filesOpen) * hours);
    state.counters["MiB_per_camera_hour"] = result->perCameraHour;
    state.counters["rss_MiB_after_1h"] = afterFirstHour / 1024.0;
    state.counters["rss_MiB_at_end"] = atEnd / 1024.0;
    state.counters["close_s_per_file_hour"] = result->closeSeconds;
    state.counters["s_per_simulated_camera_hour"] =
        written / (static_cast<double>(cameras) * hours);
  }
}

void BM_WriterMemory(benchmark::State& state) {
  MemoryOverHours<WriterCamera>(state, state.range(2) > 1 ? &g_multi : &g_writer);
}

void BM_RegularMuxerMemory(benchmark::State& state) {
  MemoryOverHours<MuxerCamera>(state, &g_muxer);
}

// Arguments: files, simulated hours, cameras in each file (the multi-stream file: nine).
BENCHMARK(BM_RegularMuxerMemory)->Args({4, 3, 1})->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_WriterMemory)
    ->Args({4, 3, 1})
    ->Args({1, 3, 9})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  return sorvo::bench::RunThenReport(argc, argv, [] {
    std::printf(
        "\nresident memory per camera-hour (target under 0.954 MiB = 1 MB): FFWriteFile %.3f MiB "
        "(a camera's file), %.3f MiB (nine cameras' multi-stream file); regular muxer %.3f MiB\n",
        g_writer.perCameraHour, g_multi.perCameraHour, g_muxer.perCameraHour);
    std::printf(
        "CloseFile, making the file regular: %.3f s per hour of a camera's file, %.3f s per hour "
        "of the multi-stream file\n",
        g_writer.closeSeconds, g_multi.closeSeconds);
  });
}
