#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "ThrownCode.h"
#include "WavReaders.h"
#include "audio/CMMIOException.h"
#include "audio/CWaveSave.h"
#include "common/FileSizeLimit.h"
#include "common/TestAppDir.h"
#include "host/PathUtil.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

using namespace sorvo::test;

WAVEFORMATEX Format(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  // Block align and byte rate deliberately wrong: the writer computes its own.
  return WAVEFORMATEX{tag, channels, rate, 12345, 7, bits, 0};
}

std::string Pcm(size_t size) {
  std::string pcm(size, '\0');
  for (size_t i = 0; i < size; ++i)
    pcm[i] = static_cast<char>(i * 7 + 3);
  return pcm;
}

// Creates `path`, appends `pcm` as the audio sink does and closes.
void WriteWav(const std::string& path, const WAVEFORMATEX& format, const std::string& pcm) {
  CWaveSave wav;
  ASSERT_EQ(wav.Create(path.c_str(), format), 1);
  ASSERT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), static_cast<long>(pcm.size())),
            static_cast<long>(pcm.size()));
  wav.Close(0);
  EXPECT_FALSE(wav.IsOpen());
}

// Written by hand from the RIFF/WAVE definition.
const std::string kStereo44100Empty(
    "RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\0\0\0\0",
    44);
const std::string kStereo44100Of1000(
    "RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\xE8\x03\0\0",
    44);
const std::string kStereo44100Of999(
    "RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\xE7\x03\0\0",
    44);
const std::string kMono8000x8Of999(
    "RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0"
    "data\xE7\x03\0\0",
    44);
const std::string kFloatStereo48000Of16(  // IEEE float says so
    "RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x03\0\x02\0\x80\xBB\0\0\0\xDC\x05\0\x08\0\x20\0"
    "data\x10\0\0\0",
    44);
const std::string kDoubleMono8000Of16(
    "RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x40\x1F\0\0\0\xFA\0\0\x08\0\x40\0"
    "data\x10\0\0\0",
    44);
const std::string k24BitStereo48000Of18(  // integer PCM, whatever the tag says
    "RIFF\x36\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xBB\0\0\0\x65\x04\0\x06\0\x18\0"
    "data\x12\0\0\0",
    44);
const std::string k32BitMono8000Of16(
    "RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\0\x7D\0\0\x04\0\x20\0"
    "data\x10\0\0\0",
    44);

const std::string kStereo44100Of10000(
    "RIFF\x34\x27\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\x10\x27\0\0",
    44);
const WAVEFORMATEX kStereo = Format(1, 2, 44100, 16);

struct Case {
  const char* name;
  WAVEFORMATEX format;
  size_t pcmSize;
  const std::string& header;
  AVCodecID codec;
};

TEST(WaveSaveTest, FilesMatchTheDefinitionAndReadersAgree) {
  const Case cases[] = {
      {"empty", Format(1, 2, 44100, 16), 0, kStereo44100Empty, AV_CODEC_ID_PCM_S16LE},
      {"even", Format(1, 2, 44100, 16), 1000, kStereo44100Of1000, AV_CODEC_ID_PCM_S16LE},
      {"odd", Format(1, 2, 44100, 16), 999, kStereo44100Of999, AV_CODEC_ID_PCM_S16LE},
      {"odd-u8", Format(1, 1, 8000, 8), 999, kMono8000x8Of999, AV_CODEC_ID_PCM_U8},
      {"float", Format(3, 2, 48000, 32), 16, kFloatStereo48000Of16, AV_CODEC_ID_PCM_F32LE},
      {"double", Format(3, 1, 8000, 64), 16, kDoubleMono8000Of16, AV_CODEC_ID_PCM_F64LE},
      {"s24", Format(3, 2, 48000, 24), 18, k24BitStereo48000Of18, AV_CODEC_ID_PCM_S24LE},
      {"s32", Format(0xFFFE, 1, 8000, 32), 16, k32BitMono8000Of16, AV_CODEC_ID_PCM_S32LE},
  };
  TestAppDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.File(std::string(c.name) + ".wav");
    const std::string pcm = Pcm(c.pcmSize);
    WriteWav(path, c.format, pcm);
    const std::string pad = c.pcmSize % 2 ? std::string(1, '\0') : "";
    EXPECT_EQ(ReadWholeFile(path), c.header + pcm + pad);

    const int blockAlign = c.format.nChannels * c.format.wBitsPerSample / 8;
    const WavReadBack back = ReadWithLibavformat(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.codecId, c.codec);
    EXPECT_EQ(back.channels, c.format.nChannels);
    EXPECT_EQ(back.sampleRate, static_cast<int>(c.format.nSamplesPerSec));
    EXPECT_EQ(back.bitsPerSample, c.format.wBitsPerSample);
    EXPECT_EQ(back.blockAlign, blockAlign);
    EXPECT_TRUE(back.pcm == pcm) << back.pcm.size() << " bytes read back";

    // python's wave module reads whole frames of integer PCM only.
    const std::string python = ReadWithPythonWave(path);
    if (python.empty())
      continue;
    if (c.codec == AV_CODEC_ID_PCM_F32LE || c.codec == AV_CODEC_ID_PCM_F64LE) {
      EXPECT_EQ(python, "error: unknown format: 3\n");
      continue;
    }
    const std::string frames = pcm.substr(0, pcm.size() - pcm.size() % blockAlign);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%d %d %u %zu ", c.format.nChannels,
                  c.format.wBitsPerSample / 8, c.format.nSamplesPerSec, frames.size() / blockAlign);
    std::string hex;
    for (unsigned char byte : frames) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", byte);
      hex += two;
    }
    EXPECT_EQ(python, expected + hex + "\n");
  }
}

TEST(WaveSaveTest, RefusesWhatCannotMakeAValidFile) {
  TestAppDir dir;
  CWaveSave wav;
  EXPECT_EQ(wav.Create(dir.File("missing/a.wav").c_str(), kStereo), 0);
  EXPECT_EQ(PathFileExistsA(dir.File("missing").c_str()), 0);
  EXPECT_EQ(wav.Create(nullptr, kStereo), 0);

  // No header describes these; an earlier recording at the path stays as it was.
  const std::string kept = dir.File("kept.wav");
  dir.WriteFile("kept.wav", "earlier recording");
  const WAVEFORMATEX bad[] = {
      Format(1, 0, 44100, 16),      Format(1, 2, 0, 16),
      Format(1, 2, 44100, 0),       Format(1, 65535, 8000, 32),  // block align 262,140
      Format(1, 8, 0xFFFFFFFF, 16),                              // bytes per second past 32 bits
  };
  for (const WAVEFORMATEX& format : bad)
    EXPECT_EQ(wav.Create(kept.c_str(), format), 0);
  EXPECT_EQ(ReadWholeFile(kept), "earlier recording");

  // 511 characters is the longest path; a longer one is refused whole, never cut short.
  std::string folder = dir.path();
  while (folder.size() < 400) {
    folder += "/" + std::string(50, 'd');
    ASSERT_EQ(CreateDirectoryA(folder.c_str(), nullptr), 1);
  }
  const std::string at511 = folder + "/" + std::string(510 - folder.size(), 'f');
  const std::string at512 = at511 + "g";
  std::ofstream(at512) << "earlier recording";
  EXPECT_EQ(wav.Create(at512.c_str(), kStereo), 0);
  EXPECT_EQ(ReadWholeFile(at512), "earlier recording");
  ASSERT_EQ(wav.Create(at511.c_str(), kStereo), 1);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(at511), kStereo44100Empty);
  EXPECT_FALSE(wav.IsOpen());
}

TEST(WaveSaveTest, ReplacesAnOldFileAndIsFinishedWhenDestroyedUnclosed) {
  TestAppDir dir;
  const std::string path = dir.File("cut.wav");
  dir.WriteFile("cut.wav", std::string(20000, 'o'));
  const std::string pcm = Pcm(10000);
  {
    CWaveSave wav;
    ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
    EXPECT_EQ(ReadWholeFile(path), kStereo44100Empty);
    // More than the writer buffers, so most of it is on disk before the end; written past
    // Append, so the sizes still say what Create wrote.
    ASSERT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 10000), 10000);
    EXPECT_EQ(ReadWholeFile(path).substr(0, 44), kStereo44100Empty);
  }
  EXPECT_EQ(ReadWholeFile(path), kStereo44100Of10000 + pcm);
  EXPECT_TRUE(ReadWithLibavformat(path).pcm == pcm);
}

uint32_t LE32At(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// While PCM comes in, the file on disk is a WAV file at every moment: its sizes never claim
// more than the file holds and fall behind the PCM appended by less than half a second of
// sound (88,200 bytes of 16-bit stereo at 44.1 kHz).
TEST(WaveSaveTest, SizesFollowThePcmAndNeverClaimMoreThanTheFileHolds) {
  TestAppDir dir;
  const std::string path = dir.File("growing.wav");
  const std::string pcm = Pcm(3 * 176400 + 1000);
  const size_t kHalfSecond = 88200;
  CWaveSave wav;
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  EXPECT_EQ(ReadWholeFile(path), kStereo44100Empty);
  size_t appended = 0;
  uint32_t lastData = 0;
  // Buffers of one MP3 frame, then a few larger and odd ones.
  const size_t pieces[] = {4608, 4608, 4608, 100001, 3, 4608, 200000};
  for (size_t n = 0; appended < pcm.size(); ++n) {
    const size_t size = std::min(pieces[n % std::size(pieces)], pcm.size() - appended);
    ASSERT_TRUE(wav.Append(pcm.data() + appended, static_cast<long>(size)));
    appended += size;
    const std::string file = ReadWholeFile(path);
    ASSERT_GE(file.size(), 44u);
    const uint32_t data = LE32At(file, 40);
    SCOPED_TRACE(std::to_string(appended) + " bytes appended, data size " + std::to_string(data));
    EXPECT_EQ(file.substr(0, 4), "RIFF");
    EXPECT_EQ(LE32At(file, 4), 36 + data);
    EXPECT_LE(44 + data, file.size());
    EXPECT_LT(appended - data, kHalfSecond);
    EXPECT_TRUE(file.compare(44, data, pcm, 0, data) == 0);
    lastData = data;
  }
  // A reader taking the file as it stands gets the PCM up to the sizes written.
  const std::string python = ReadWithPythonWave(path);
  if (!python.empty()) {
    EXPECT_EQ(python.substr(0, python.find(' ', 12)), "2 2 44100 " + std::to_string(lastData / 4));
  }
  EXPECT_TRUE(ReadWithLibavformat(path).pcm == pcm.substr(0, lastData));

  // The closed file is the one a file written without updates gets.
  wav.Close(0);
  EXPECT_FALSE(wav.Append(pcm.data(), 4));
  const std::string closed = ReadWholeFile(path);
  WriteWav(dir.File("plain.wav"), kStereo, pcm);
  EXPECT_TRUE(closed == ReadWholeFile(dir.File("plain.wav")));
  EXPECT_EQ(LE32At(closed, 40), pcm.size());
}

TEST(WaveSaveTest, CloseTwiceReuseAndCreateWhileOpen) {
  TestAppDir dir;
  const std::string first = dir.File("first.wav"), second = dir.File("second.wav");
  const std::string pcm = Pcm(1000);
  CWaveSave wav;
  ASSERT_EQ(wav.Create(first.c_str(), kStereo), 1);
  ASSERT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 1000), 1000);
  ASSERT_EQ(wav.Create(second.c_str(), kStereo), 1);  // finishes the first file
  wav.Close(0);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(first), kStereo44100Of1000 + pcm);
  EXPECT_EQ(ReadWholeFile(second), kStereo44100Empty);
  ASSERT_EQ(wav.Create(first.c_str(), kStereo), 1);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(first), kStereo44100Empty);
}

TEST(WaveSaveTest, ASecondWriterCannotTakeAFileInUse) {
  TestAppDir dir;
  const std::string path = dir.File("busy.wav");
  const std::string pcm = Pcm(1000);
  CWaveSave writing, intruder;
  ASSERT_EQ(writing.Create(path.c_str(), kStereo), 1);
  ASSERT_EQ(mmioWrite(writing.GetHandle(), pcm.data(), 1000), 1000);
  EXPECT_EQ(intruder.Create(path.c_str(), kStereo), 0);
  writing.Close(0);
  EXPECT_EQ(ReadWholeFile(path), kStereo44100Of1000 + pcm);
}

TEST(WaveSaveTest, FailuresRaiseExceptionsWithTheirCodes) {
  TestAppDir dir;
  const std::string path = dir.File("limited.wav");
  const std::string pcm = Pcm(9000);
  CWaveSave wav;
  FileSizeLimit limit(20);  // not even the header fits
  EXPECT_EQ(CodeOf([&] { wav.Create(path.c_str(), kStereo); }), MMIOERR_CANNOTWRITE);
  EXPECT_FALSE(wav.IsOpen());
  EXPECT_EQ(PathFileExistsA(path.c_str()), 0);

  // A refused append leaves the file as it was; what was accepted is kept and closed.
  limit.Set(44 + 100);
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 9000), -1);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 100), 100);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(path).size(), 144u);
  EXPECT_TRUE(ReadWithLibavformat(path).pcm == pcm.substr(0, 100));

  // A close that cannot write keeps the file open, and may be repeated once there is room.
  limit.Set(44);
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  ASSERT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 1000), 1000);  // buffered
  EXPECT_EQ(CodeOf([&] { wav.Close(0); }), MMIOERR_CANNOTWRITE);
  EXPECT_TRUE(wav.IsOpen());
  limit.Set(1 << 20);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(path), kStereo44100Of1000 + pcm.substr(0, 1000));
  {
    CWaveSave doomed;
    ASSERT_EQ(doomed.Create(path.c_str(), kStereo), 1);
    ASSERT_EQ(mmioWrite(doomed.GetHandle(), pcm.data(), 1000), 1000);
    limit.Set(44);
  }  // finishing fails inside the destructor, which must not throw...
  // ...and leaves a file whose sizes say what reached the disk.
  EXPECT_EQ(ReadWholeFile(path), kStereo44100Empty);

  const CMMIOException write(CMMIOException::kWriteFailed);
  EXPECT_EQ(write.GetErrorCode(), 1u);
  EXPECT_STREQ(write.what(), "multimedia file I/O error 1");
  char text[8] = "old";
  unsigned help = 7;
  EXPECT_FALSE(write.GetErrorMessage(text, sizeof text, &help));
  EXPECT_STREQ(text, "");
  EXPECT_EQ(help, 0u);
}

TEST(WaveSaveTest, DataThatWouldOverflowTheSizeFieldsIsRefused) {
  TestAppDir dir;
  const std::string path = dir.File("huge.wav");
  CWaveSave wav;
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  // A seek stands in for 4 GiB of PCM; the file stays sparse. The RIFF size counts what
  // follows its field, and one byte is kept for a pad byte.
  const long largest = 8 + 0xFFFFFFFFL - 1;
  ASSERT_EQ(mmioSeek(wav.GetHandle(), largest - 4, SEEK_SET), largest - 4);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), "abcd", 4), 4);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), "e", 1), -1);
  wav.Close(0);
  EXPECT_EQ(std::filesystem::file_size(path), static_cast<uintmax_t>(largest));
  std::string header(44, '\0');
  std::ifstream(path, std::ios::binary).read(header.data(), 44);
  EXPECT_EQ(header.substr(4, 4), "\xFE\xFF\xFF\xFF");   // RIFF size 4,294,967,294
  EXPECT_EQ(header.substr(40, 4), "\xDA\xFF\xFF\xFF");  // data size 4,294,967,258
  EXPECT_EQ(DeleteFileA(path.c_str()), 1);
}

}  // namespace
