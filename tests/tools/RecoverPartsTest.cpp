// Parts of sorvo-recover on inputs a whole run rarely produces: MP3 headers that turn up
// by chance among pictures, MPEG-4 headers cut short, WAV files past 4 GiB and WAV headers
// no recording has.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "RecoverTestSupport.h"
#include "common/TestAppDir.h"
#include "tools/common/MappedFile.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Headers.h"
#include "tools/recover/ElementaryWalker.h"
#include "tools/recover/WavRepair.h"

namespace {

using namespace sorvo::test;
using namespace sorvo::tools;

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(SoundFormatTest, AFewMp3FramesAmongManyPicturesAreChanceNotSound) {
  const std::vector<std::string> pictures = EncodedClip(64, 48, 25, 100);
  const std::vector<std::string> mono = EncodedTone(1, 22050, 22050);
  const std::vector<std::string> stereo = EncodedTone(2, 44100, 2 * 44100);
  ASSERT_GT(mono.size(), 10u);
  ASSERT_GT(stereo.size(), 60u);

  // Stray frames, each followed by a picture, as chance headers would be: three, then ten
  // of one format (what a camera file of a few hundred pictures may show).
  std::string stray, strayTen;
  for (size_t i = 0; i < pictures.size(); ++i) {
    stray += pictures[i];
    strayTen += pictures[i];
    if (i == 10 || i == 50)
      stray += mono[i / 10];
    if (i == 70)
      stray += stereo[3];
    if (i % 10 == 5)
      strayTen += mono[i / 10];
  }
  Mp3FrameHeader format;
  EXPECT_FALSE(FindSoundFormat(Bytes(stray), stray.size(), &format));
  EXPECT_FALSE(FindSoundFormat(Bytes(strayTen), strayTen.size(), &format));

  // Sound beside the pictures all along.
  std::string mixed;
  for (size_t i = 0; i < pictures.size(); ++i)
    mixed += pictures[i] + (i < stereo.size() ? stereo[i] : "");
  ASSERT_TRUE(FindSoundFormat(Bytes(mixed), mixed.size(), &format));
  EXPECT_EQ(format.sampleRate, 44100);
  EXPECT_EQ(format.channels, 2);
  EXPECT_EQ(format.samples, 1152);

  // With the format known, every piece is what it was: pictures and whole frames.
  SoundRule rule;
  rule.kind = SoundRule::Kind::kOneFormat;
  rule.format = format;
  ElementaryWalker walker(Bytes(mixed), mixed.size(), rule);
  size_t pictureCount = 0;
  size_t frameCount = 0;
  for (ElementaryPiece piece; walker.Next(&piece);) {
    if (piece.kind == ElementaryPiece::Kind::kSound) {
      EXPECT_EQ(mixed.substr(piece.offset, piece.size), stereo[frameCount]);
      ++frameCount;
    } else {
      EXPECT_EQ(mixed.substr(piece.offset, piece.size), pictures[pictureCount]);
      ++pictureCount;
    }
  }
  EXPECT_EQ(pictureCount, pictures.size());
  EXPECT_EQ(frameCount, std::min(stereo.size(), pictures.size()));
  EXPECT_EQ(walker.bytesSkipped(), 0);
}

TEST(Mpeg4HeadersTest, EveryCutOfAKeyFramesHeadersIsRefusedNotMisread) {
  const std::string key = EncodedClip(176, 144, 20, 1)[0];
  const std::vector<uint8_t> config = Mpeg4DecoderConfig(Bytes(key), key.size());
  Mpeg4Vol vol;
  ASSERT_TRUE(ParseMpeg4Vol(config.data(), config.size(), &vol));
  EXPECT_EQ(vol.width, 176);
  EXPECT_EQ(vol.height, 144);
  EXPECT_EQ(vol.timeResolution, 20);
  EXPECT_EQ(vol.DeclaredRate(), 20.0);
  Mpeg4PictureTime time;
  ASSERT_TRUE(ParseMpeg4PictureTime(Bytes(key), key.size(), vol, &time));
  EXPECT_EQ(time.type, Mpeg4PictureType::kIntra);
  EXPECT_EQ(time.groupSeconds, 0);
  EXPECT_EQ(time.increment, 0);
  // A key frame cut anywhere in its headers or its picture header reads as nothing, or as
  // what it says whole.
  for (size_t cut = 0; cut < config.size() + 8; ++cut) {
    Mpeg4Vol partVol;
    if (ParseMpeg4Vol(Bytes(key), cut, &partVol)) {
      EXPECT_EQ(partVol.width, 176) << cut;
      EXPECT_EQ(partVol.timeResolution, 20) << cut;
    }
    Mpeg4PictureTime partTime;
    if (ParseMpeg4PictureTime(Bytes(key), cut, vol, &partTime)) {
      EXPECT_EQ(partTime.increment, 0) << cut;
      EXPECT_EQ(partTime.groupSeconds, 0) << cut;
    }
  }
}

// The WAV header of a library file (room for RF64 kept in a 'JUNK' chunk) or, with `rf64`,
// of one that became RF64; 16-bit stereo unless told otherwise. Sizes as given.
std::string WavHeader(bool rf64,
                      uint64_t riff,
                      uint64_t data,
                      uint32_t rate = 44100,
                      uint16_t bits = 16,
                      uint16_t align = 4) {
  std::string header;
  auto put = [&](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
      header.push_back(static_cast<char>(value >> (8 * i)));
  };
  header += rf64 ? "RF64" : "RIFF";
  put(rf64 ? 0xFFFFFFFF : riff, 4);
  header += rf64 ? "WAVEds64" : "WAVEJUNK";
  put(28, 4);
  put(rf64 ? riff : 0, 8);
  put(rf64 ? data : 0, 8);
  put(rf64 ? data / 4 : 0, 8);
  put(0, 4);
  header += "fmt ";
  put(16, 4);
  put(1, 2);
  put(2, 2);
  put(rate, 4);
  put(uint64_t{rate} * align, 4);
  put(align, 2);
  put(bits, 2);
  header += "data";
  put(rf64 ? 0xFFFFFFFF : data, 4);
  return header;
}

// Reads the file with libavformat: its format and how many sample frames it says it has.
std::pair<std::string, int64_t> WavAsFfmpegSees(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
    return {"", -1};
  std::pair<std::string, int64_t> seen{input->iformat->name, input->streams[0]->duration};
  avformat_close_input(&input);
  return seen;
}

TEST(WavRepairTest, AKilledRf64FileGetsItsWideSizesAndAPastFourGibibytesRiffBecomesRf64) {
  TestAppDir dir;
  // Killed before the 64-bit sizes were first brought up: they still say nothing.
  dir.WriteFile("killed.wav", WavHeader(true, 72, 0) + std::string(4002, '\x11'));
  MappedFile file;
  std::string error;
  ASSERT_TRUE(file.Open(dir.File("killed.wav"), &error)) << error;
  WavLayout layout = ReadWavLayout(file.data(), file.size());
  ASSERT_EQ(layout.problem, "");
  EXPECT_TRUE(layout.rf64);
  EXPECT_EQ(layout.goodDataSize, 4000u);
  ASSERT_TRUE(RepairWavInPlace(layout, dir.File("killed.wav"), &error)) << error;
  EXPECT_EQ(ReadWholeFile(dir.File("killed.wav")).substr(0, 80), WavHeader(true, 4072, 4000));
  EXPECT_EQ(WavAsFfmpegSees(dir.File("killed.wav")), std::make_pair(std::string("wav"), 1000l));

  // A RIFF file killed as its PCM passed 4 GiB (sparse: a seek stands in for the hours).
  const std::string big = dir.File("big.wav");
  const uint64_t size = (uint64_t{1} << 32) + 80 + 8192;
  dir.WriteFile("big.wav", WavHeader(false, 0xFFFFFFF0, 0xFFFFFF00));
  ASSERT_EQ(truncate(big.c_str(), static_cast<off_t>(size)), 0);
  MappedFile large;
  ASSERT_TRUE(large.Open(big, &error)) << error;
  layout = ReadWavLayout(large.data(), large.size());
  ASSERT_EQ(layout.problem, "");
  EXPECT_TRUE(layout.becomesRf64);
  EXPECT_FALSE(layout.tooLong);
  EXPECT_FALSE(layout.Complete());
  EXPECT_EQ(layout.goodDataSize, size - 80);
  ASSERT_TRUE(RepairWavInPlace(layout, big, &error)) << error;
  std::string header(80, '\0');
  std::ifstream(big, std::ios::binary).read(header.data(), 80);
  EXPECT_EQ(header, WavHeader(true, size - 8, size - 80));
  EXPECT_EQ(WavAsFfmpegSees(big),
            std::make_pair(std::string("wav"), static_cast<int64_t>((size - 80) / 4)));
  std::remove(big.c_str());
}

TEST(WavRepairTest, WhatNoRecordingHasIsRefused) {
  const std::string sound(4000, '\x11');
  const struct {
    std::string bytes;
    const char* problem;
  } cases[] = {
      {WavHeader(false, 36, 16), "no sound after its header"},
      {WavHeader(false, 0, 0) + "\x01\x02", "no sound after its header"},
      {WavHeader(false, 0, 0, 7) + sound, "7 samples a second"},
      {WavHeader(false, 0, 0, 44100, 65535) + sound, "65535 bits a sample"},
      {WavHeader(false, 0, 0, 44100, 16, 6) + sound, "block size 6"},
      {"RF64" + WavHeader(false, 0, 0).substr(4) + sound, "'ds64'"},
  };
  for (const auto& c : cases) {
    const WavLayout layout = ReadWavLayout(Bytes(c.bytes), c.bytes.size());
    EXPECT_NE(layout.problem.find(c.problem), std::string::npos) << layout.problem;
  }
}

}  // namespace
