#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
}

#include "codec/FFWriteFile.h"
#include "common/CodecTestSupport.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using sorvo::test::EsdsDecoderInfos;
using sorvo::test::MovingYuvPicture;
using sorvo::test::OpenDescriptorCount;
using sorvo::test::ProbedFile;
using sorvo::test::ProbedPacket;
using sorvo::test::ProbeFile;
using sorvo::test::ReadWholeFile;
using sorvo::test::RecordingAudioEncoder;
using sorvo::test::RecordingEncoder;
using sorvo::test::TestAppDir;
using sorvo::test::Tone;

constexpr int kW = 176;
constexpr int kH = 144;

void EncodePictures(RecordingEncoder& encoder, int count, int first = 0) {
  const int w = encoder.GetEncoderWidth(), h = encoder.GetEncoderHeight();
  for (int i = first; i < first + count; ++i) {
    std::vector<uint8_t> picture = MovingYuvPicture(w, h, i);
    ASSERT_EQ(encoder.Encode(i, 0, picture.data(), static_cast<long>(picture.size())), 1);
  }
}

// Feeds one codec frame of a 440 Hz tone per call until `packets` packets came out.
void EncodeTone(RecordingAudioEncoder& encoder, int sampleRate, int channels, size_t packets) {
  const int frame = encoder.GetFrameBytes() / 2 / channels;
  for (int first = 0; encoder.packets.size() < packets; first += frame) {
    std::vector<uint8_t> pcm = Tone(440, sampleRate, channels, first, frame);
    encoder.Encode(0, 0, pcm.data(), static_cast<long>(pcm.size()));
  }
}

std::unique_ptr<RecordingEncoder> OpenVideo(int width = kW, int height = kH, int frameRate = 25) {
  auto encoder = std::make_unique<RecordingEncoder>();
  EXPECT_EQ(encoder->Open(width, height, PIX_FMT_YUV420P, frameRate, 400000, "cam"), 1);
  return encoder;
}

TEST(FFWriteFileTest, AttachRefusesSlotsOutsideTheTableAndNullEncoders) {
  FFWriteFile writer;
  RecordingEncoder video;
  RecordingAudioEncoder audio;
  EXPECT_EQ(writer.AttachVideoEncoder(10, &video), 0);
  EXPECT_EQ(writer.AttachVideoEncoder(-1, &video), 0);
  EXPECT_EQ(writer.AttachVideoEncoder(3, nullptr), 0);
  EXPECT_EQ(writer.AttachVideoEncoder(9, &video), 1);
  EXPECT_EQ(writer.AttachVideoEncoder(0, &video), 1);
  EXPECT_EQ(writer.AttachAudioEncoder(0, nullptr), 0);
  EXPECT_EQ(writer.AttachAudioEncoder(7, &audio), 1);
  EXPECT_EQ(writer.IsOpen(), 0);
}

TEST(FFWriteFileTest, OneHundredPicturesAtTwentyFivePerSecondPlayFourSeconds) {
  TestAppDir dir;
  auto encoder = OpenVideo();
  FFWriteFile writer;
  encoder->writer = &writer;
  ASSERT_EQ(writer.AttachVideoEncoder(0, encoder.get()), 1);
  ASSERT_EQ(writer.CreateFileA(dir.File("one.mp4").c_str(), "mp4", 1), 1);
  EXPECT_EQ(writer.IsOpen(), 1);
  EncodePictures(*encoder, 100);
  EXPECT_EQ(encoder->writerResults, 100);
  writer.CloseFile();
  EXPECT_EQ(writer.IsOpen(), 0);

  ProbedFile file = ProbeFile(dir.File("one.mp4"));
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.streams[0].codecId, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(file.streams[0].width, kW);
  EXPECT_EQ(file.streams[0].decodedFrames, 100);
  EXPECT_EQ(file.streams[0].decodeErrors, 0);
  EXPECT_NEAR(file.durationSeconds, 4.0, 1e-3);
  EXPECT_NEAR(file.streams[0].endSeconds, 4.0, 1e-3);
  ASSERT_EQ(file.packets.size(), 100u);
  for (int i = 0; i < 100; ++i) {
    EXPECT_NEAR(file.packets[i].ptsSeconds, i * 0.04, 1e-4) << i;
    EXPECT_NEAR(file.packets[i].dtsSeconds, i * 0.04, 1e-4) << i;
    EXPECT_EQ(file.packets[i].key, i % 25 == 0) << i;
  }
}

TEST(FFWriteFileTest, TimesComeFromThePacketCountAndTheCallersPacketIsLeftAlone) {
  TestAppDir dir;
  auto encoder = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, encoder.get());
  ASSERT_EQ(writer.CreateFileA(dir.File("times.mp4").c_str(), "mp4", 1), 1);
  EncodePictures(*encoder, 3);
  const int64_t callerTimes[] = {900, AV_NOPTS_VALUE, 7};
  for (int i = 0; i < 3; ++i) {
    std::vector<uint8_t> bytes = encoder->packets[i].data;
    AVPacket* packet = av_packet_alloc();
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    packet->flags = encoder->packets[i].flags;
    packet->pts = callerTimes[i];
    packet->dts = callerTimes[2 - i];
    packet->stream_index = 5;
    EXPECT_EQ(writer.AddVideoFrame(packet, 0), 1);
    // The sink hands this same packet on to its stream files and network clients.
    EXPECT_EQ(packet->data, bytes.data());
    EXPECT_EQ(packet->size, static_cast<int>(bytes.size()));
    EXPECT_EQ(packet->pts, callerTimes[i]);
    EXPECT_EQ(packet->stream_index, 5);
    av_packet_free(&packet);
  }
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("times.mp4"));
  ASSERT_EQ(file.packets.size(), 3u);
  EXPECT_NEAR(file.packets[0].ptsSeconds, 0.00, 1e-4);
  EXPECT_NEAR(file.packets[1].ptsSeconds, 0.04, 1e-4);
  EXPECT_NEAR(file.packets[2].ptsSeconds, 0.08, 1e-4);
  EXPECT_EQ(file.streams[0].decodedFrames, 3);
}

TEST(FFWriteFileTest, NineVideoStreamsKeepTheOrderOfTheirSlots) {
  TestAppDir dir;
  FFWriteFile writer;
  std::vector<std::unique_ptr<RecordingEncoder>> encoders;
  for (int i = 0; i < 9; ++i) {
    encoders.push_back(OpenVideo(96 + 16 * i, 64));
    encoders[i]->writer = &writer;
    encoders[i]->writerIndex = i;
    ASSERT_EQ(writer.AttachVideoEncoder(i, encoders[i].get()), 1);
  }
  ASSERT_EQ(writer.CreateFileA(dir.File("nine.mp4").c_str(), "mp4", 10), 0);
  EXPECT_EQ(writer.IsOpen(), 0);
  EXPECT_FALSE(std::filesystem::exists(dir.File("nine.mp4")));
  ASSERT_EQ(writer.CreateFileA(dir.File("nine.mp4").c_str(), "mp4", 9), 1);
  for (int i = 0; i < 9; ++i)
    EncodePictures(*encoders[i], 2 + i);
  writer.CloseFile();

  ProbedFile file = ProbeFile(dir.File("nine.mp4"));
  ASSERT_EQ(file.streams.size(), 9u);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(file.streams[i].mediaType, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(file.streams[i].width, 96 + 16 * i) << i;
    EXPECT_EQ(file.streams[i].decodedFrames, 2 + i) << i;
    EXPECT_EQ(file.streams[i].decodeErrors, 0) << i;
  }
}

TEST(FFWriteFileTest, AnEmptyOrClosedSlotBelowTheCountOpensNothing) {
  TestAppDir dir;
  auto first = OpenVideo();
  RecordingEncoder closed;
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, first.get());
  const int descriptors = OpenDescriptorCount();
  EXPECT_EQ(writer.CreateFileA(dir.File("gap.mp4").c_str(), "mp4", 2), 0);
  writer.AttachVideoEncoder(1, &closed);
  EXPECT_EQ(writer.CreateFileA(dir.File("gap.mp4").c_str(), "mp4", 2), 0);
  EXPECT_EQ(writer.IsOpen(), 0);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_FALSE(std::filesystem::exists(dir.File("gap.mp4")));
  std::vector<uint8_t> bytes = {0, 0, 1, 0xB6, 0x10};
  AVPacket* packet = av_packet_alloc();
  packet->data = bytes.data();
  packet->size = 5;
  EXPECT_EQ(writer.AddVideoFrame(packet, 0), 0);
  av_packet_free(&packet);
}

TEST(FFWriteFileTest, TwoVideoStreamsThenMp3AudioWithItsOwnTimes) {
  TestAppDir dir;
  FFWriteFile writer;
  auto a = OpenVideo();
  auto b = OpenVideo(320, 240);
  RecordingAudioEncoder audio;
  ASSERT_EQ(audio.Open(2, 44100, 128000), 1);
  a->writer = b->writer = audio.writer = &writer;
  b->writerIndex = 1;
  writer.AttachVideoEncoder(0, a.get());
  writer.AttachVideoEncoder(1, b.get());
  writer.AttachAudioEncoder(0, &audio);
  ASSERT_EQ(writer.CreateFileA(dir.File("av.mp4").c_str(), ".mp4", 2), 1);
  const int padding = audio.GetCodecContext()->initial_padding;
  EncodePictures(*a, 10);
  EncodePictures(*b, 10);
  EncodeTone(audio, 44100, 2, 12);
  writer.CloseFile();

  ProbedFile file = ProbeFile(dir.File("av.mp4"));
  ASSERT_EQ(file.streams.size(), 3u);
  EXPECT_EQ(file.streams[0].width, kW);
  EXPECT_EQ(file.streams[1].width, 320);
  EXPECT_EQ(file.streams[2].mediaType, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(file.streams[2].codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(file.streams[2].sampleRate, 44100);
  EXPECT_EQ(file.streams[2].channels, 2);
  EXPECT_EQ(file.streams[0].decodedFrames, 10);
  EXPECT_EQ(file.streams[1].decodedFrames, 10);
  EXPECT_EQ(file.streams[2].decodedFrames, 12);
  EXPECT_EQ(file.streams[2].decodeErrors, 0);
  std::vector<ProbedPacket> sound = file.PacketsOf(2);
  ASSERT_EQ(sound.size(), 12u);
  // The codec's start-up delay comes before the first sample, which is at 0.
  for (int n = 0; n < 12; ++n) {
    EXPECT_NEAR(sound[n].ptsSeconds, (n * 1152 - padding) / 44100.0, 1e-4) << n;
    EXPECT_TRUE(sound[n].key) << n;
  }
}

TEST(FFWriteFileTest, AudioIsRefusedWhereTheFileHasNoAudioStream) {
  TestAppDir dir;
  auto video = OpenVideo();
  RecordingAudioEncoder closedAudio;
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  writer.AttachAudioEncoder(0, &closedAudio);  // attached but not open: no stream
  ASSERT_EQ(writer.CreateFileA(dir.File("mute.mp4").c_str(), "mp4", 1), 1);

  RecordingAudioEncoder other;
  ASSERT_EQ(other.Open(1, 44100, 64000), 1);
  EncodeTone(other, 44100, 1, 1);
  AVPacket* packet = av_packet_alloc();
  packet->data = other.packets[0].data.data();
  packet->size = static_cast<int>(other.packets[0].data.size());
  EXPECT_EQ(writer.AddAudioFrame(packet), 0);
  EXPECT_EQ(writer.AddAudioFrame(nullptr), 0);
  av_packet_free(&packet);
  video->writer = &writer;
  EncodePictures(*video, 1);
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("mute.mp4"));
  ASSERT_EQ(file.streams.size(), 1u);
  EXPECT_EQ(file.packets.size(), 1u);
}

TEST(FFWriteFileTest, VideoPacketsOutsideTheStreamsOrOnAClosedWriterAreRefused) {
  TestAppDir dir;
  auto video = OpenVideo();
  EncodePictures(*video, 1);
  std::vector<uint8_t> bytes = video->packets[0].data;
  AVPacket* packet = av_packet_alloc();
  packet->data = bytes.data();
  packet->size = static_cast<int>(bytes.size());
  FFWriteFile writer;
  EXPECT_EQ(writer.AddVideoFrame(packet, 0), 0);
  writer.AttachVideoEncoder(0, video.get());
  ASSERT_EQ(writer.CreateFileA(dir.File("refuse.mp4").c_str(), "mp4", 1), 1);
  EXPECT_EQ(writer.AddVideoFrame(packet, -1), 0);
  EXPECT_EQ(writer.AddVideoFrame(packet, 1), 0);
  EXPECT_EQ(writer.AddVideoFrame(packet, 9), 0);
  EXPECT_EQ(writer.AddVideoFrame(nullptr, 0), 0);
  packet->size = 0;
  EXPECT_EQ(writer.AddVideoFrame(packet, 0), 0);
  packet->size = static_cast<int>(bytes.size());
  EXPECT_EQ(writer.AddVideoFrame(packet, 0), 1);
  writer.CloseFile();
  EXPECT_EQ(writer.AddVideoFrame(packet, 0), 0);
  av_packet_free(&packet);
  ProbedFile file = ProbeFile(dir.File("refuse.mp4"));
  ASSERT_EQ(file.packets.size(), 1u);
  EXPECT_NEAR(file.packets[0].ptsSeconds, 0.0, 1e-6);
}

TEST(FFWriteFileTest, UnknownFormatNameFallsBackOnTheExtension) {
  TestAppDir dir;
  auto video = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  ASSERT_EQ(writer.CreateFileA(dir.File("guess.mp4").c_str(), "nonsense", 1), 1);
  video->writer = &writer;
  EncodePictures(*video, 2);
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("guess.mp4"));
  ASSERT_TRUE(file.opened);
  EXPECT_NE(file.formatName.find("mp4"), std::string::npos);
  EXPECT_EQ(file.streams[0].decodedFrames, 2);
  EXPECT_EQ(writer.CreateFileA(dir.File("guess.unknownext").c_str(), "nonsense", 1), 0);
  EXPECT_EQ(writer.CreateFileA(nullptr, "mp4", 1), 0);
  EXPECT_EQ(writer.CreateFileA(dir.File("neg.mp4").c_str(), "mp4", -1), 0);
}

TEST(FFWriteFileTest, SampleEntryCarriesTheConfigWhileKeyFramesKeepTheirHeaders) {
  TestAppDir dir;
  auto video = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  video->writer = &writer;
  AVCodecContext* context = video->GetCodecContext();
  const std::vector<uint8_t> extradata(context->extradata,
                                       context->extradata + context->extradata_size);
  int picture = 0;
  for (const char* format : {"mp4", "mov", "3gp", "mp4"}) {
    const std::string name = dir.File(std::string("hdr_") + format + std::to_string(picture));
    ASSERT_EQ(writer.CreateFileA(name.c_str(), format, 1), 1) << format;
    EXPECT_FALSE(context->flags & AV_CODEC_FLAG_GLOBAL_HEADER) << format;
    const size_t before = video->packets.size();
    EncodePictures(*video, 26, picture);
    picture += 26;
    writer.CloseFile();

    // Every key frame after any number of files still starts decoding on its own.
    for (size_t i = before; i < video->packets.size(); ++i) {
      if (!video->packets[i].key())
        continue;
      ASSERT_GE(video->packets[i].data.size(), extradata.size());
      EXPECT_TRUE(std::equal(extradata.begin(), extradata.end(), video->packets[i].data.begin()))
          << format << " packet " << i;
    }
    std::vector<std::vector<uint8_t>> infos = EsdsDecoderInfos(name);
    ASSERT_EQ(infos.size(), 1u) << format;
    EXPECT_EQ(infos[0], extradata) << format;
    ProbedFile file = ProbeFile(name);
    EXPECT_EQ(file.streams[0].decodedFrames, 26) << format;
  }
}

TEST(FFWriteFileTest, CreateOnAnOpenWriterFinishesTheEarlierFile) {
  TestAppDir dir;
  auto video = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  video->writer = &writer;
  const int descriptors = OpenDescriptorCount();
  ASSERT_EQ(writer.CreateFileA(dir.File("first.mp4").c_str(), "mp4", 1), 1);
  EncodePictures(*video, 10);
  ASSERT_EQ(writer.CreateFileA(dir.File("second.mp4").c_str(), "mp4", 1), 1);
  EncodePictures(*video, 5, 10);
  writer.CloseFile();
  writer.CloseFile();
  EXPECT_EQ(OpenDescriptorCount(), descriptors);

  ProbedFile first = ProbeFile(dir.File("first.mp4"));
  ASSERT_TRUE(first.opened);
  EXPECT_EQ(first.streams[0].decodedFrames, 10);
  EXPECT_NEAR(first.durationSeconds, 0.4, 1e-3);
  ProbedFile second = ProbeFile(dir.File("second.mp4"));
  ASSERT_EQ(second.packets.size(), 5u);
  EXPECT_NEAR(second.packets[0].ptsSeconds, 0.0, 1e-6);
  EXPECT_NEAR(second.durationSeconds, 0.2, 1e-3);
}

TEST(FFWriteFileTest, AFileNameTooLongForTheContextIsRefusedNotCut) {
  TestAppDir dir;
  auto video = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  // Folders deep enough that both the name and the name cut to 1023 bytes could be made.
  std::string folder = dir.path();
  while (folder.size() < 1023 - 250) {
    folder += "/" + std::string(200, 'd');
    std::filesystem::create_directory(folder);
  }
  const std::string name = folder + "/" + std::string(1024 - folder.size() - 1, 'f');
  ASSERT_EQ(name.size(), 1024u);
  EXPECT_EQ(writer.CreateFileA(name.c_str(), "mp4", 1), 0);
  EXPECT_FALSE(std::filesystem::exists(name));
  EXPECT_FALSE(std::filesystem::exists(name.substr(0, 1023)));
  EXPECT_EQ(writer.CreateFileA(name.substr(0, 1023).c_str(), "mp4", 1), 1);
  writer.CloseFile();
  EXPECT_TRUE(std::filesystem::exists(name.substr(0, 1023)));
}

TEST(FFWriteFileTest, AHeaderTheContainerRefusesLeavesTheWriterClosed) {
  TestAppDir dir;
  auto video = OpenVideo();
  RecordingAudioEncoder audio;
  ASSERT_EQ(audio.Open(1, 44100, 64000), 1);
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  writer.AttachAudioEncoder(0, &audio);
  const int descriptors = OpenDescriptorCount();
  // 3GP holds MPEG-4 video but no MP3.
  EXPECT_EQ(writer.CreateFileA(dir.File("x.3gp").c_str(), "3gp", 1), 0);
  EXPECT_EQ(writer.IsOpen(), 0);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_FALSE(std::filesystem::exists(dir.File("x.3gp")));
  // Without the audio encoder the same file can be made.
  audio.Close();
  EXPECT_EQ(writer.CreateFileA(dir.File("x.3gp").c_str(), "3gp", 1), 1);
  writer.CloseFile();
  EXPECT_TRUE(ProbeFile(dir.File("x.3gp")).opened);
}

TEST(FFWriteFileTest, EncodersMayCloseBeforeTheFile) {
  TestAppDir dir;
  FFWriteFile writer;
  int padding = 0;
  {
    auto video = OpenVideo();
    RecordingAudioEncoder audio;
    ASSERT_EQ(audio.Open(1, 22050, 32000), 1);
    video->writer = audio.writer = &writer;
    writer.AttachVideoEncoder(0, video.get());
    writer.AttachAudioEncoder(0, &audio);
    ASSERT_EQ(writer.CreateFileA(dir.File("order.mp4").c_str(), "mp4", 1), 1);
    padding = audio.GetCodecContext()->initial_padding;
    EncodePictures(*video, 5);
    EncodeTone(audio, 22050, 1, 4);
    // As a recording sink does: the encoders close, and are even gone, before the file.
    video->Close();
    audio.Close();
  }
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("order.mp4"));
  ASSERT_EQ(file.streams.size(), 2u);
  EXPECT_EQ(file.streams[0].decodedFrames, 5);
  // The codec's start-up delay fills the first frame and more: a player leaves it out.
  EXPECT_EQ(file.streams[1].decodedSamples, 4 * 576 - padding);
  EXPECT_EQ(file.streams[1].sampleRate, 22050);
  // 22.05 kHz MPEG-2 Layer III frames hold 576 samples.
  ASSERT_EQ(file.PacketsOf(1).size(), 4u);
  EXPECT_NEAR(file.PacketsOf(1)[3].ptsSeconds, (3 * 576 - padding) / 22050.0, 1e-4);
}

// A recorder killed mid-GOP keeps every GOP before the one in progress: each is on disk,
// whole, once the next key frame is written.
TEST(FFWriteFileTest, EveryGopIsOnDiskOnceTheNextBegins) {
  TestAppDir dir;
  auto encoder = OpenVideo();
  FFWriteFile writer;
  encoder->writer = &writer;
  ASSERT_EQ(writer.AttachVideoEncoder(0, encoder.get()), 1);
  const std::string path = dir.File("live.mp4");
  ASSERT_EQ(writer.CreateFileA(path.c_str(), "mp4", 1), 1);
  // Two GOPs and the next key frame: pictures 0, 25 and 50 are key frames.
  for (int key = 0; key <= 50; key += 25) {
    EncodePictures(*encoder, key == 0 ? 1 : 25, key == 0 ? 0 : key - 24);
    ASSERT_EQ(encoder->packets.size(), static_cast<size_t>(key + 1));
    ASSERT_TRUE(encoder->packets.back().flags & AV_PKT_FLAG_KEY) << key;
    // The open file holds every packet before the key frame, and reads back as they were.
    const ProbedFile live = ProbeFile(path);
    ASSERT_TRUE(live.opened) << key;
    ASSERT_EQ(live.packets.size(), static_cast<size_t>(key)) << key;
    for (int i = 0; i < key; ++i)
      EXPECT_EQ(live.packets[i].size, static_cast<int>(encoder->packets[i].data.size())) << i;
  }
  writer.CloseFile();
  EXPECT_EQ(ProbeFile(path).streams.at(0).decodedFrames, 51);
}

TEST(FFWriteFileTest, PacketsFromSeveralEncodingThreadsAllLand) {
  TestAppDir dir;
  FFWriteFile writer;
  std::vector<std::unique_ptr<RecordingEncoder>> encoders;
  for (int i = 0; i < 3; ++i) {
    encoders.push_back(OpenVideo());
    encoders[i]->writer = &writer;
    encoders[i]->writerIndex = i;
    writer.AttachVideoEncoder(i, encoders[i].get());
  }
  ASSERT_EQ(writer.CreateFileA(dir.File("threads.mp4").c_str(), "mp4", 3), 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&, i] { EncodePictures(*encoders[i], 20); });
  for (std::thread& thread : threads)
    thread.join();
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("threads.mp4"));
  ASSERT_EQ(file.streams.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(file.streams[i].decodedFrames, 20) << i;
    EXPECT_NEAR(file.streams[i].endSeconds, 0.8, 1e-3) << i;
  }
}

TEST(FFWriteFileTest, AGarbagePictureIsWrittenWithoutHarmToTheOthers) {
  TestAppDir dir;
  auto video = OpenVideo();
  FFWriteFile writer;
  writer.AttachVideoEncoder(0, video.get());
  ASSERT_EQ(writer.CreateFileA(dir.File("garbage.mp4").c_str(), "mp4", 1), 1);
  EncodePictures(*video, 4);
  std::vector<uint8_t> garbage(300);
  for (size_t i = 0; i < garbage.size(); ++i)
    garbage[i] = static_cast<uint8_t>(i * 151 + 7);
  AVPacket* packet = av_packet_alloc();
  for (int i = 0; i < 4; ++i) {
    std::vector<uint8_t>& bytes = i == 3 ? garbage : video->packets[i].data;
    packet->data = bytes.data();
    packet->size = static_cast<int>(bytes.size());
    packet->flags = i == 0 ? AV_PKT_FLAG_KEY : 0;
    EXPECT_EQ(writer.AddVideoFrame(packet, 0), 1);
  }
  av_packet_free(&packet);
  writer.CloseFile();
  ProbedFile file = ProbeFile(dir.File("garbage.mp4"));
  ASSERT_EQ(file.packets.size(), 4u);
  EXPECT_GE(file.streams[0].decodedFrames, 3);
  EXPECT_NEAR(file.durationSeconds, 0.16, 1e-3);
}

}  // namespace
