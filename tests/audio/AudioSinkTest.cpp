#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ThrownCode.h"
#include "WavReaders.h"
#include "audio/CAudioSinkFF.h"
#include "audio/CMMIOException.h"
#include "codec/FFWriteFile.h"
#include "common/CodecTestSupport.h"
#include "common/FileSizeLimit.h"
#include "common/LogCapture.h"
#include "common/LoopbackClient.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "host/ITransferServer.h"
#include "host/Mmio.h"
#include "sink/ISorvoData.h"

namespace {

using namespace sorvo::test;

constexpr int kRate = 44100;
constexpr int kFrame = 1152;  // samples per channel in one MP3 frame
constexpr size_t kStereoFrameBytes = kFrame * 2 * 2;
const WAVEFORMATEX kStereo{1, 2, kRate, 4 * kRate, 4, 16, 0};

// The sink as the host reaches it, with a look at its server.
class Sink : public CAudioSinkFF {
 public:
  // Hands `size` bytes over in a heap block of exactly that size, so that AddressSanitizer
  // catches any read past its end.
  int Feed(const uint8_t* pcm, size_t size) {
    std::unique_ptr<unsigned char[]> exact(new unsigned char[size]);
    std::memcpy(exact.get(), pcm, size);
    return Deliver(exact.get(), static_cast<long>(size));
  }
  int Feed(const std::vector<uint8_t>& pcm) { return Feed(pcm.data(), pcm.size()); }
  // Feeds `pcm` in pieces of the given sizes, in turn.
  void FeedInPieces(const std::vector<uint8_t>& pcm, const std::vector<size_t>& pieces) {
    for (size_t at = 0, n = 0; at < pcm.size(); ++n) {
      const size_t size = std::min(pieces[n % pieces.size()], pcm.size() - at);
      Feed(&pcm[at], size);
      at += size;
    }
  }
  int Deliver(unsigned char* data, long length) {
    IGrabberCallBack* host = this;
    return host->OnBuffer(0, 0.0, data, length, 0, 0, PIX_FMT_NONE);
  }
  // -1 without a server.
  int ClientCount() {
    ITransferServer* server = GetTransferServer();
    return server != nullptr ? server->GetClientCount() : -1;
  }
};

// Keeps every packet with its tag; `onPacket` runs inside the call.
class Receiver : public ISorvoData {
 public:
  std::vector<int> tags;
  std::vector<std::vector<uint8_t>> packets;
  std::atomic<int> calls{0};
  std::function<void(AVPacket*)> onPacket;

  int OnEncodeData(int id, AVPacket* packet) override {
    tags.push_back(id);
    packets.emplace_back(packet->data, packet->data + packet->size);
    if (onPacket)
      onPacket(packet);
    ++calls;
    return 1;
  }
};

// What a bare MP3 encoder at the sink's settings makes of `pcm`, up to its last packet.
std::vector<std::vector<uint8_t>> ReferencePackets(const std::vector<uint8_t>& pcm) {
  RecordingAudioEncoder encoder;
  EXPECT_EQ(encoder.Open(2, kRate, 4 * kRate), 1);
  encoder.Encode(0, 0, const_cast<uint8_t*>(pcm.data()), static_cast<long>(pcm.size()));
  encoder.Drain();
  std::vector<std::vector<uint8_t>> packets;
  for (const SeenPacket& p : encoder.packets)
    packets.push_back(p.data);
  return packets;
}

// A port nothing listens on right now.
unsigned short FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    ADD_FAILURE() << "no free port";
  close(fd);
  return ntohs(address.sin_port);
}

std::string Bytes(const std::vector<uint8_t>& pcm, size_t count) {
  return std::string(pcm.begin(), pcm.begin() + static_cast<long>(count));
}

std::string Joined(const std::vector<std::vector<uint8_t>>& packets) {
  std::string bytes;
  for (const auto& packet : packets)
    bytes.append(packet.begin(), packet.end());
  return bytes;
}

std::string LE32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

// The header of 16-bit stereo PCM at 44.1 kHz, as RIFF/WAVE defines it, with room for RF64.
std::string StereoHeader(uint32_t dataBytes) {
  return WithRf64Room(
      "RIFF" + LE32(36 + dataBytes + (dataBytes & 1)) +
      std::string("WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0", 28) +
      "data" + LE32(dataBytes));
}

int WarningsContaining(LogCapture& log, const std::string& text) {
  int count = 0;
  for (const LogLine& line : log.Lines())
    count += line.level >= SORVO_LOG_WARN && line.text.find(text) != std::string::npos;
  return count;
}

TEST(AudioSinkTest, StartsOnlyWhatItIsGiven) {
  TestAppDir dir;
  LogCapture log;
  Receiver receiver;
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, 4 * kFrame);
  const unsigned short port = FreePort();
  {
    Sink sink;
    sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
    EXPECT_EQ(sink.Feed(pcm), 0);
    WAVEFORMATEX noRate = kStereo, noByteRate = kStereo;
    noRate.nSamplesPerSec = 0;
    noByteRate.nAvgBytesPerSec = 0;
    for (const WAVEFORMATEX& format : {noRate, noByteRate}) {
      EXPECT_EQ(sink.Create("mic", dir.File("refused.wav").c_str(), format, port), 0);
      EXPECT_EQ(sink.IsOpen(), 0);
      EXPECT_EQ(sink.ClientCount(), -1);
      EXPECT_FALSE(LoopbackClient(port).connected());
      EXPECT_EQ(sink.Feed(pcm), 0);
    }
  }
  EXPECT_TRUE(receiver.packets.empty());
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // Without a usable path or port, the encoder alone; 65,536 has 0 in its low 16 bits.
  const std::string tooLong = dir.path() + "/" + std::string(600, 'a') + ".wav";
  const std::string noFolder = dir.File("missing/take.wav");
  for (const char* path : {static_cast<const char*>(nullptr), tooLong.c_str(), noFolder.c_str()}) {
    for (int noServer : {0, -5, 65536}) {
      Sink sink;
      sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
      ASSERT_EQ(sink.Create("mic", path, kStereo, noServer), 1);
      EXPECT_EQ(sink.IsOpen(), 1);
      EXPECT_EQ(sink.ClientCount(), -1);
      const size_t before = receiver.packets.size();
      EXPECT_EQ(sink.Feed(pcm), 1);
      EXPECT_GT(receiver.packets.size(), before);
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  EXPECT_EQ(WarningsContaining(log, "cannot be created"), 6);
  EXPECT_EQ(WarningsContaining(log, "port 0"), 3);
  EXPECT_EQ(receiver.tags, std::vector<int>(receiver.tags.size(), kAudioDataTag));
}

TEST(AudioSinkTest, RecordsBuffersOfAnyLengthIntoTheWavFileAndTheMp3Stream) {
  TestAppDir dir;
  const std::string path = dir.File("take.wav");
  std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, 20 * kFrame + 3);
  pcm.push_back(0x55);  // an odd byte count, so that the data chunk needs its pad byte
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  ASSERT_EQ(sink.Create("mic", path.c_str(), kStereo, 0), 1);
  const AVCodecContext* codec = sink.GetCodecContext();
  EXPECT_EQ(codec->bit_rate, kStereo.nAvgBytesPerSec);  // the byte rate, taken as bits/s
  EXPECT_EQ(codec->sample_rate, kRate);
  EXPECT_EQ(codec->ch_layout.nb_channels, 2);

  unsigned char byte = 0;
  EXPECT_EQ(sink.Deliver(nullptr, 100), 0);
  EXPECT_EQ(sink.Deliver(&byte, 0), 0);
  EXPECT_EQ(sink.Deliver(&byte, -4), 0);
  sink.FeedInPieces(pcm, {1, 7, 4607, 4609, 10001, 3, kStereoFrameBytes});
  EXPECT_EQ(sink.Close(), 1);

  // The same packets as whole frames give: PCM gathered across buffers.
  EXPECT_TRUE(receiver.packets == ReferencePackets(pcm));
  const std::string file = ReadWholeFile(path);
  ASSERT_EQ(file.size(), kWavHeader + pcm.size() + 1);
  EXPECT_EQ(file.substr(0, kWavHeader), StereoHeader(static_cast<uint32_t>(pcm.size())));
  EXPECT_TRUE(file.substr(kWavHeader, pcm.size()) == Bytes(pcm, pcm.size()));
  const WavReadBack back = ReadWithLibavformat(path);
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.channels, 2);
  EXPECT_EQ(back.sampleRate, kRate);
  EXPECT_EQ(back.bitsPerSample, 16);
  EXPECT_TRUE(back.pcm == Bytes(pcm, pcm.size()));

  // Mono: the bit rate is twice the sample rate, and frames are 576 samples at 22.05 kHz.
  const WAVEFORMATEX mono{1, 1, 22050, 2 * 22050, 2, 16, 0};
  ASSERT_EQ(sink.Create("mic", nullptr, mono, 0), 1);
  EXPECT_EQ(sink.GetCodecContext()->bit_rate, 2 * 22050);
  EXPECT_EQ(sink.GetFrameBytes(), 576 * 2);
}

TEST(AudioSinkTest, ClientsGetBareMp3FramesBeforeTheReceiverAndHearTheTone) {
  TestAppDir dir;
  const unsigned short port = FreePort();
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  ASSERT_EQ(sink.Create("mic", nullptr, kStereo, port + 65536), 1);  // its low 16 bits
  LoopbackClient client(port);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));

  // When the receiver has a packet, the broadcast has already queued the same bytes for the
  // client, so this read does not wait for bytes that are yet to be sent.
  std::string heard;
  int mismatches = 0;
  receiver.onPacket = [&](AVPacket* packet) {
    if (mismatches > 0)
      return;  // one read that timed out is enough
    const std::string bytes = client.Read(static_cast<size_t>(packet->size));
    mismatches += bytes != std::string(reinterpret_cast<char*>(packet->data), packet->size);
    heard += bytes;
  };
  const std::vector<uint8_t> pcm = Tone(1000, kRate, 2, 0, 38 * kFrame);
  for (size_t at = 0; at < pcm.size(); at += kStereoFrameBytes) {
    const size_t before = receiver.packets.size();
    const int result = sink.Feed(&pcm[at], kStereoFrameBytes);
    EXPECT_EQ(result, receiver.packets.size() > before ? 1 : 0) << at;
  }
  const size_t beforeClose = receiver.packets.size();
  receiver.onPacket = nullptr;
  sink.Close();  // its last packets go out as well
  EXPECT_GT(receiver.packets.size(), beforeClose);
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(receiver.packets == ReferencePackets(pcm));  // once each, in order
  EXPECT_EQ(receiver.tags, std::vector<int>(receiver.packets.size(), kAudioDataTag));
  EXPECT_GE(client.DrainToEnd(), 0);

  RecordingAudioDecoder decoder;
  ASSERT_EQ(decoder.Open(nullptr, AV_CODEC_ID_MP3), 1);
  EXPECT_EQ(decoder.Decode(reinterpret_cast<const uint8_t*>(heard.data()),
                           static_cast<int>(heard.size())),
            1);
  EXPECT_EQ(decoder.frames.size(), beforeClose);
  EXPECT_NEAR(StrongestFrequency(FirstChannel(decoder.pcm, 2), kRate, 500, 1500, 10), 1000, 10);
}

TEST(AudioSinkTest, EachTakeStartsAfreshAndKeepsTheReceiver) {
  TestAppDir dir;
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  const std::vector<uint8_t> first = Tone(440, kRate, 2, 0, 10 * kFrame);
  const std::vector<uint8_t> second = Tone(880, kRate, 2, 0, 12 * kFrame + 5);
  const unsigned short firstPort = FreePort();
  ASSERT_EQ(sink.Create("mic", dir.File("a.wav").c_str(), kStereo, firstPort), 1);
  LoopbackClient early(firstPort);
  ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));
  sink.Feed(first);
  const std::string firstBroadcast = Joined(receiver.packets);
  EXPECT_TRUE(early.Read(firstBroadcast.size()) == firstBroadcast);
  EXPECT_EQ(sink.Close(), 1);
  const std::vector<std::vector<uint8_t>> firstPackets = receiver.packets;
  EXPECT_GE(early.DrainToEnd(), 0);
  EXPECT_FALSE(LoopbackClient(firstPort).connected());

  const unsigned short secondPort = FreePort();
  ASSERT_EQ(sink.Create("mic", dir.File("b.wav").c_str(), kStereo, secondPort), 1);
  LoopbackClient late(secondPort);
  ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));
  sink.Feed(second);
  const std::string secondBroadcast = Joined(receiver.packets).substr(Joined(firstPackets).size());
  EXPECT_TRUE(late.Read(secondBroadcast.size()) == secondBroadcast);
  ASSERT_EQ(sink.Create("mic", nullptr, kStereo, 0), 1);  // ends the running take first
  EXPECT_FALSE(LoopbackClient(secondPort).connected());

  // A fresh encoder each time: the second take's packets are those of its own PCM alone.
  const std::vector<std::vector<uint8_t>> secondPackets(
      receiver.packets.begin() + static_cast<long>(firstPackets.size()), receiver.packets.end());
  EXPECT_TRUE(firstPackets == ReferencePackets(first));
  EXPECT_TRUE(secondPackets == ReferencePackets(second));
  EXPECT_EQ(receiver.tags, std::vector<int>(receiver.packets.size(), kAudioDataTag));
  EXPECT_TRUE(ReadWithLibavformat(dir.File("a.wav")).pcm == Bytes(first, first.size()));
  EXPECT_TRUE(ReadWithLibavformat(dir.File("b.wav")).pcm == Bytes(second, second.size()));
}

TEST(AudioSinkTest, AFullDiskEndsTheWavFileWhileTheMp3StreamGoesOn) {
  TestAppDir dir;
  LogCapture log;
  const std::string path = dir.File("full.wav");
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, 40 * kFrame);
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  ASSERT_EQ(sink.Create("mic", path.c_str(), kStereo, 0), 1);
  {
    FileSizeLimit limit(kWavHeader + 20000);
    for (size_t at = 0; at < pcm.size(); at += kStereoFrameBytes)
      sink.Feed(&pcm[at], kStereoFrameBytes);
  }
  EXPECT_EQ(WarningsContaining(log, path), 1);
  EXPECT_EQ(sink.Close(), 1);
  EXPECT_TRUE(receiver.packets == ReferencePackets(pcm));

  // The file ends where the disk stopped taking PCM, with sizes that say so.
  const std::string file = ReadWholeFile(path);
  ASSERT_GT(file.size(), kWavHeader);
  ASSERT_LE(file.size(), kWavHeader + 20000);
  const size_t data = file.size() - kWavHeader;
  EXPECT_EQ(file.substr(0, kWavHeader), StereoHeader(static_cast<uint32_t>(data)));
  EXPECT_TRUE(file.substr(kWavHeader) == Bytes(pcm, data));
  EXPECT_TRUE(ReadWithLibavformat(path).pcm == Bytes(pcm, data));
}

TEST(AudioSinkTest, WavFailuresInCreateAndCloseReachTheCaller) {
  TestAppDir dir;
  const std::string path = dir.File("take.wav");
  const std::vector<uint8_t> frame = Tone(440, kRate, 2, 0, kFrame);
  {
    FileSizeLimit limit(20);  // not even the header fits
    Sink sink;
    EXPECT_EQ(CodeOf([&] { sink.Create("mic", path.c_str(), kStereo, FreePort()); }),
              MMIOERR_CANNOTWRITE);
    EXPECT_EQ(sink.IsOpen(), 1);  // for the caller to close
    EXPECT_EQ(sink.ClientCount(), -1);
    EXPECT_EQ(sink.Close(), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
  }
  {
    FileSizeLimit limit(kWavHeader);
    Sink sink;
    ASSERT_EQ(sink.Create("mic", path.c_str(), kStereo, FreePort()), 1);
    EXPECT_EQ(sink.Feed(frame), 0);  // held in the file's buffer so far
    EXPECT_EQ(CodeOf([&] { sink.Close(); }), MMIOERR_CANNOTWRITE);
    EXPECT_EQ(sink.IsOpen(), 0);
    EXPECT_EQ(sink.ClientCount(), -1);
    limit.Set(1 << 20);
    EXPECT_EQ(CodeOf([&] { sink.Close(); }), 0u);  // once there is room
  }
  EXPECT_TRUE(ReadWholeFile(path) == StereoHeader(kStereoFrameBytes) + Bytes(frame, frame.size()));
  {
    FileSizeLimit limit(kWavHeader);
    Sink sink;
    ASSERT_EQ(sink.Create("mic", path.c_str(), kStereo, 0), 1);
    sink.Feed(frame);
    EXPECT_EQ(CodeOf([&] { sink.Close(); }), MMIOERR_CANNOTWRITE);
  }  // the destructor keeps what reached the disk: the header alone
  EXPECT_EQ(ReadWholeFile(path), StereoHeader(0));
  EXPECT_TRUE(ReadWithLibavformat(path).opened);
}

TEST(AudioSinkTest, ASinkDestroyedWithoutCloseLeavesAReadableFile) {
  TestAppDir dir;
  const std::string path = dir.File("forgotten.wav");
  const unsigned short port = FreePort();
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, 10 * kFrame);
  auto sink = std::make_unique<Sink>();
  ASSERT_EQ(sink->Create("mic", path.c_str(), kStereo, port), 1);
  LoopbackClient client(port);
  ASSERT_TRUE(WaitUntil([&] { return sink->ClientCount() == 1; }));
  EXPECT_EQ(sink->Feed(pcm), 1);
  sink.reset();
  EXPECT_GE(client.DrainToEnd(), 0);  // closed by the server, not left hanging
  EXPECT_FALSE(LoopbackClient(port).connected());
  EXPECT_TRUE(ReadWholeFile(path) ==
              StereoHeader(static_cast<uint32_t>(pcm.size())) + Bytes(pcm, pcm.size()));
}

// One sample width a capture device may deliver, made from 16-bit PCM so that the 16 bits
// the encoder must get back are known.
struct SourceWidth {
  const char* name;
  uint16_t tag;
  uint16_t bits;
  AVCodecID wavCodec;  // what a reader makes of the WAV file
  int bytes;
};

const SourceWidth kWidths[] = {
    {"u8", 1, 8, AV_CODEC_ID_PCM_U8, 1},      {"s24", 1, 24, AV_CODEC_ID_PCM_S24LE, 3},
    {"s32", 1, 32, AV_CODEC_ID_PCM_S32LE, 4}, {"f32", 3, 32, AV_CODEC_ID_PCM_F32LE, 4},
    {"f64", 3, 64, AV_CODEC_ID_PCM_F64LE, 8},
};

WAVEFORMATEX StereoOf(const SourceWidth& width) {
  const uint16_t block = static_cast<uint16_t>(2 * width.bytes);
  return WAVEFORMATEX{width.tag, 2, kRate, uint32_t{kRate} * block, block, width.bits, 0};
}

// The source's bytes for the 16-bit samples of `pcm`, which are changed to what the source
// can carry (8-bit keeps the top byte). Wider integers get low bits that narrowing drops.
std::vector<uint8_t> InWidth(const SourceWidth& width, std::vector<uint8_t>* pcm) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at + 1 < pcm->size(); at += 2) {
    int16_t sample = static_cast<int16_t>((*pcm)[at] | (*pcm)[at + 1] << 8);
    const uint8_t low = (*pcm)[at], high = (*pcm)[at + 1];
    if (width.bytes == 1) {
      out.push_back(static_cast<uint8_t>(high ^ 0x80));
      (*pcm)[at] = 0;
    } else if (width.tag == 3) {
      const size_t end = out.size();
      out.resize(end + width.bytes);
      if (width.bytes == 4) {
        const float value = sample / 32768.0f;
        std::memcpy(&out[end], &value, 4);
      } else {
        const double value = sample / 32768.0;
        std::memcpy(&out[end], &value, 8);
      }
    } else {
      for (int i = 2; i < width.bytes; ++i)
        out.push_back(static_cast<uint8_t>(0xA5 + i));
      out.push_back(low);
      out.push_back(high);
    }
  }
  return out;
}

// Every width is kept in the WAV file as delivered and described so that readers take
// the samples as they are; the MP3 stream is that of the same sound in 16 bits.
TEST(AudioSinkTest, OtherSampleWidthsKeepTheirSamplesInTheWavFileAndNarrowForTheMp3) {
  TestAppDir dir;
  for (const SourceWidth& width : kWidths) {
    SCOPED_TRACE(width.name);
    std::vector<uint8_t> expected = Tone(440, kRate, 2, 0, 12 * kFrame + 5);
    const std::vector<uint8_t> source = InWidth(width, &expected);
    const std::string path = dir.File(std::string(width.name) + ".wav");
    Sink sink;
    Receiver receiver;
    sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
    ASSERT_EQ(sink.Create("mic", path.c_str(), StereoOf(width), 0), 1);
    EXPECT_EQ(sink.IsOpen(), 1);
    EXPECT_EQ(sink.GetCodecContext()->bit_rate, 4 * kRate);  // as for 16-bit stereo
    EXPECT_EQ(sink.GetFrameBytes(), kFrame * 2 * width.bytes);
    // Pieces that end inside samples.
    sink.FeedInPieces(source, {1, 7, 4607, 10001, 3, static_cast<size_t>(sink.GetFrameBytes())});
    EXPECT_EQ(sink.Close(), 1);
    EXPECT_TRUE(receiver.packets == ReferencePackets(expected));

    const WavReadBack back = ReadWithLibavformat(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.codecId, width.wavCodec);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.sampleRate, kRate);
    EXPECT_EQ(back.blockAlign, 2 * width.bytes);
    EXPECT_TRUE(back.pcm == Bytes(source, source.size()));
  }
}

TEST(AudioSinkTest, FloatSamplesBeyondFullScaleClipAndNanIsSilence) {
  TestAppDir dir;
  std::vector<float> source(2 * 4 * kFrame, 0.25f);
  std::vector<uint8_t> expected(source.size() * 2);
  const float specials[] = {1.0f, -1.0f, 1.5f, -3.0f, std::nanf(""), 1e30f, -0.0f};
  const int16_t narrowed[] = {32767, -32768, 32767, -32768, 0, 32767, 0};
  for (size_t i = 0; i < source.size(); ++i) {
    const size_t special = i % 16;
    if (special < std::size(specials))
      source[i] = specials[special];
    const int16_t value = special < std::size(specials) ? narrowed[special] : 8192;
    expected[2 * i] = static_cast<uint8_t>(value & 0xFF);
    expected[2 * i + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  }
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  ASSERT_EQ(sink.Create("mic", nullptr, StereoOf(kWidths[3]), 0), 1);
  sink.Feed(reinterpret_cast<const uint8_t*>(source.data()), source.size() * sizeof(float));
  sink.Close();
  EXPECT_TRUE(receiver.packets == ReferencePackets(expected));
}

TEST(AudioSinkTest, SamplesTheEncoderCannotTakeGoIntoTheWavFileAlone) {
  TestAppDir dir;
  LogCapture log;
  const std::string path = dir.File("wide.wav");
  const unsigned short port = FreePort();
  const WAVEFORMATEX wide{1, 2, kRate, kRate * 16, 16, 64, 0};
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, 4 * kFrame);  // any bytes will do
  Sink sink;
  Receiver receiver;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  ASSERT_EQ(sink.Create("mic", path.c_str(), wide, port), 1);
  EXPECT_EQ(sink.IsOpen(), 0);
  EXPECT_EQ(sink.ClientCount(), -1);
  EXPECT_FALSE(LoopbackClient(port).connected());
  EXPECT_EQ(WarningsContaining(log, "64-bit PCM cannot be encoded as MP3"), 1);
  EXPECT_EQ(sink.Feed(pcm), 0);
  EXPECT_EQ(sink.Feed(pcm), 0);
  EXPECT_EQ(sink.Close(), 1);
  EXPECT_TRUE(receiver.packets.empty());
  const WavReadBack back = ReadWithLibavformat(path);
  ASSERT_TRUE(back.opened);
  EXPECT_EQ(back.codecId, AV_CODEC_ID_PCM_S64LE);
  EXPECT_TRUE(back.pcm == Bytes(pcm, pcm.size()) + Bytes(pcm, pcm.size()));

  // With no WAV file to keep them, nothing records.
  EXPECT_EQ(sink.Create("mic", nullptr, wide, 0), 0);
  EXPECT_EQ(sink.Create("mic", dir.File("missing/wide.wav").c_str(), wide, 0), 0);
  EXPECT_EQ(sink.IsOpen(), 0);
}

// Runs `record` in a child process that is then killed outright, as SIGKILL or a crash ends
// a host: nothing is closed, finished or even written from the buffers. What `record` makes
// must outlive it (it is never destroyed).
void RecordAndKill(const std::function<bool()>& record) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (record())
      raise(SIGKILL);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
}

TEST(AudioSinkTest, AKilledRecordingPlaysUpToHalfASecondBeforeTheKill) {
  TestAppDir dir;
  const std::string path = dir.File("killed.wav");
  const size_t kHalfSecond = kRate * 4 / 2;
  for (int frames : {0, 1, 60, 61, 200}) {
    SCOPED_TRACE(std::to_string(frames) + " frames before the kill");
    const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, frames * kFrame);
    RecordAndKill([&] {
      Sink* sink = new Sink;
      if (sink->Create("mic", path.c_str(), kStereo, 0) != 1)
        return false;
      for (int n = 0; n < frames; ++n)
        sink->Feed(&pcm[n * kStereoFrameBytes], kStereoFrameBytes);
      return true;
    });
    const std::string file = ReadWholeFile(path);
    ASSERT_GE(file.size(), kWavHeader);
    const std::string python = ReadWithPythonWave(path);
    if (!python.empty()) {
      ASSERT_EQ(python.substr(0, 10), "2 2 44100 ") << python.substr(0, 80);
      const size_t played = std::stoul(python.substr(10)) * 4;
      EXPECT_LE(played, pcm.size());
      EXPECT_LE(kWavHeader + played, file.size());
      EXPECT_LT(pcm.size() - played, kHalfSecond);
      const std::string prefix = Bytes(pcm, played);
      std::string hex;
      for (unsigned char byte : prefix) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
      }
      EXPECT_TRUE(python.substr(python.find(' ', 10) + 1) == hex + "\n");
    }
    const WavReadBack back = ReadWithLibavformat(path);
    ASSERT_TRUE(back.opened);
    EXPECT_LT(pcm.size() - back.pcm.size(), kHalfSecond);
    EXPECT_TRUE(back.pcm == Bytes(pcm, back.pcm.size()));
  }
}

// Writes tag-200 packets into a container file, as a muxing controller does.
class WritingReceiver : public ISorvoData {
 public:
  explicit WritingReceiver(FFWriteFile* writer) : m_writer(writer) {}
  int calls = 0;
  int written = 0;

  int OnEncodeData(int id, AVPacket* packet) override {
    ++calls;
    if (id == kAudioDataTag)
      written += m_writer->AddAudioFrame(packet);
    return 1;
  }

 private:
  FFWriteFile* m_writer;
};

TEST(AudioSinkTest, AContainerFileCarriesTheSinksMp3AfterItsVideo) {
  TestAppDir dir;
  const std::string path = dir.File("av.mp4");
  FFWriteFile writer;
  RecordingEncoder video;
  ASSERT_EQ(video.Open(176, 144, PIX_FMT_YUV420P, 25, 400000, "cam"), 1);
  video.writer = &writer;
  Sink sink;
  ASSERT_EQ(sink.Create("mic", nullptr, kStereo, 0), 1);
  WritingReceiver receiver(&writer);
  sink.SetEncodeDataOutputCB(kAudioDataTag, &receiver);
  writer.AttachVideoEncoder(0, &video);
  writer.AttachAudioEncoder(0, &sink);
  ASSERT_EQ(writer.CreateFileA(path.c_str(), "mp4", 1), 1);

  // Two seconds, in 40 ms buffers beside 25 pictures a second: no buffer is a whole frame.
  const int pictures = 50;
  const size_t buffer = kRate / 25 * 4;
  const std::vector<uint8_t> pcm = Tone(440, kRate, 2, 0, pictures * kRate / 25);
  for (int n = 0; n < pictures; ++n) {
    std::vector<uint8_t> picture = MovingYuvPicture(176, 144, n);
    video.Encode(n, 0, picture.data(), static_cast<long>(picture.size()));
    sink.Feed(&pcm[n * buffer], buffer);
  }
  sink.Close();
  video.Close();
  writer.CloseFile();

  const ProbedFile file = ProbeFile(path);
  ASSERT_TRUE(file.opened);
  ASSERT_EQ(file.streams.size(), 2u);
  EXPECT_EQ(file.streams[0].decodedFrames, pictures);
  const ProbedStream& sound = file.streams[1];
  EXPECT_EQ(sound.mediaType, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(sound.codecId, AV_CODEC_ID_MP3);
  EXPECT_EQ(sound.sampleRate, kRate);
  EXPECT_EQ(sound.channels, 2);
  EXPECT_EQ(sound.decodeErrors, 0);
  EXPECT_EQ(receiver.written, receiver.calls);
  EXPECT_EQ(file.PacketsOf(1).size(), static_cast<size_t>(receiver.written));
  // Close hands out the tail; what is left is the codec's own padding at either end.
  EXPECT_NEAR(sound.decodedSamples, static_cast<double>(pcm.size() / 4), 2 * kFrame);
}

TEST(AudioSinkTest, CloseAndANewReceiverTakeEffectWhileTheCaptureThreadDelivers) {
  TestAppDir dir;
  const std::string path = dir.File("live.wav");
  const unsigned short port = FreePort();
  Sink sink;
  Receiver first, second;
  sink.SetEncodeDataOutputCB(kAudioDataTag, &first);
  ASSERT_EQ(sink.Create("mic", path.c_str(), kStereo, port), 1);
  LoopbackClient client(port);
  ASSERT_TRUE(WaitUntil([&] { return sink.ClientCount() == 1; }));

  const std::vector<uint8_t> frame = Tone(440, kRate, 2, 0, kFrame);
  std::atomic<bool> stop{false};
  std::atomic<long> delivered{0};
  std::thread capture([&] {
    while (!stop) {
      sink.Feed(frame);
      ++delivered;
    }
  });
  // Expectations only from here on, so that the capture thread is always joined.
  EXPECT_TRUE(WaitUntil([&] { return first.calls >= 5; }));
  sink.SetEncodeDataOutputCB(kAudioDataTag, &second);
  const int firstCalls = first.calls;
  EXPECT_TRUE(WaitUntil([&] { return second.calls >= 5; }));
  EXPECT_EQ(first.calls, firstCalls);
  EXPECT_EQ(sink.Close(), 1);
  const int secondCalls = second.calls;
  const long closedAt = delivered;
  EXPECT_TRUE(WaitUntil([&] { return delivered >= closedAt + 20; }));
  EXPECT_EQ(second.calls, secondCalls);
  stop = true;
  capture.join();

  EXPECT_GE(client.DrainToEnd(), 0);
  const std::string pcm = ReadWithLibavformat(path).pcm;
  EXPECT_GT(pcm.size(), 0u);
  EXPECT_EQ(pcm.size() % kStereoFrameBytes, 0u);
}

}  // namespace
