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

// Creates `path`, writes `pcm` and closes: straight to the handle, or with `writer` through
// Append in pieces of an MP3 frame's PCM, as the audio sink does.
void WriteWav(const std::string& path,
              const WAVEFORMATEX& format,
              const std::string& pcm,
              CWaveSave* writer = nullptr) {
  CWaveSave own;
  CWaveSave& wav = writer != nullptr ? *writer : own;
  ASSERT_EQ(wav.Create(path.c_str(), format), 1);
  if (writer != nullptr) {
    for (size_t at = 0; at < pcm.size(); at += 4608)
      ASSERT_TRUE(
          wav.Append(pcm.data() + at, static_cast<long>(std::min<size_t>(4608, pcm.size() - at))));
  } else {
    ASSERT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), static_cast<long>(pcm.size())),
              static_cast<long>(pcm.size()));
  }
  wav.Close(0);
  EXPECT_FALSE(wav.IsOpen());
}

// Written by hand from the RIFF/WAVE definition; the library keeps room for RF64 in them.
const std::string kStereo44100Empty = WithRf64Room(
    std::string("RIFF\x24\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
                "data\0\0\0\0",
                44));
const std::string kStereo44100Of1000 = WithRf64Room(std::string(
    "RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\xE8\x03\0\0",
    44));
const std::string kStereo44100Of999 = WithRf64Room(std::string(
    "RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\xE7\x03\0\0",
    44));
const std::string kMono8000x8Of999 = WithRf64Room(
    std::string("RIFF\x0C\x04\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0"
                "data\xE7\x03\0\0",
                44));
const std::string kFloatStereo48000Of16 = WithRf64Room(std::string(  // IEEE float says so
    "RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x03\0\x02\0\x80\xBB\0\0\0\xDC\x05\0\x08\0\x20\0"
    "data\x10\0\0\0",
    44));
const std::string kDoubleMono8000Of16 = WithRf64Room(
    std::string("RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x03\0\x01\0\x40\x1F\0\0\0\xFA\0\0\x08\0\x40\0"
                "data\x10\0\0\0",
                44));
const std::string k24BitStereo48000Of18 =
    WithRf64Room(std::string(  // integer PCM, whatever the tag says
        "RIFF\x36\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xBB\0\0\0\x65\x04\0\x06\0\x18\0"
        "data\x12\0\0\0",
        44));
const std::string k32BitMono8000Of16 = WithRf64Room(
    std::string("RIFF\x34\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\0\x7D\0\0\x04\0\x20\0"
                "data\x10\0\0\0",
                44));

const std::string kStereo44100Of10000 = WithRf64Room(std::string(
    "RIFF\x34\x27\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0"
    "data\x10\x27\0\0",
    44));
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
    EXPECT_EQ(ReadWholeFile(path).substr(0, kWavHeader), kStereo44100Empty);
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
    ASSERT_GE(file.size(), kWavHeader);
    const uint32_t data = LE32At(file, kWavHeader - 4);
    SCOPED_TRACE(std::to_string(appended) + " bytes appended, data size " + std::to_string(data));
    EXPECT_EQ(file.substr(0, 4), "RIFF");
    EXPECT_EQ(LE32At(file, 4), kWavHeader - 8 + data);
    EXPECT_LE(kWavHeader + data, file.size());
    EXPECT_LT(appended - data, kHalfSecond);
    EXPECT_TRUE(file.compare(kWavHeader, data, pcm, 0, data) == 0);
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
  EXPECT_EQ(LE32At(closed, kWavHeader - 4), pcm.size());
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
  limit.Set(kWavHeader + 100);
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 9000), -1);
  EXPECT_EQ(mmioWrite(wav.GetHandle(), pcm.data(), 100), 100);
  wav.Close(0);
  EXPECT_EQ(ReadWholeFile(path).size(), kWavHeader + 100);
  EXPECT_TRUE(ReadWithLibavformat(path).pcm == pcm.substr(0, 100));

  // A close that cannot write keeps the file open, and may be repeated once there is room.
  limit.Set(kWavHeader);
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
    limit.Set(kWavHeader);
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

uint64_t LE64At(const std::string& bytes, size_t at) {
  return LE32At(bytes, at) | static_cast<uint64_t>(LE32At(bytes, at + 4)) << 32;
}

// A recording longer than 6 h 46 min of 44.1 kHz stereo: its PCM passes what 32-bit sizes
// count, and the file goes on as RF64. A seek stands in for the hours of PCM (the file
// stays sparse); the PCM after it is real and read back from the end by ffmpeg. sox, which
// reads an RF64 file through to learn its length, is given one made RF64 after a second.
TEST(WaveSaveTest, PcmPastFourGibibytesMakesTheFileRf64ForEveryReader) {
  TestAppDir dir;
  const std::string path = dir.File("long.wav");
  const std::string pcm = Pcm(115 * 4608);  // three seconds in MP3 frames' PCM
  CWaveSave wav;
  ASSERT_EQ(wav.Create(path.c_str(), kStereo), 1);
  ASSERT_TRUE(wav.Append(pcm.data(), 4608));
  // A second short of what a RIFF file can hold, on a sample frame.
  const long skipTo = kWavHeader + ((0xFFFFFFFFL - 176400) / 4) * 4;
  ASSERT_EQ(mmioSeek(wav.GetHandle(), skipTo, SEEK_SET), skipTo);
  size_t appended = 0;
  std::string header;
  for (; appended < pcm.size(); appended += 4608) {
    ASSERT_TRUE(wav.Append(pcm.data() + appended, 4608)) << appended;
    // Between appends the file is whole, as a kill would leave it: a RIFF file while it
    // can be one, then RF64 with sizes that never claim more than it holds.
    std::ifstream(path, std::ios::binary)
        .read((header = std::string(kWavHeader, '\0')).data(), kWavHeader);
    const uint64_t size = std::filesystem::file_size(path);
    if (header.substr(0, 4) == "RIFF") {
      ASSERT_LE(skipTo + appended + 4608, 8 + 0xFFFFFFFFL) << appended;
      EXPECT_LE(kWavHeader + LE32At(header, kWavHeader - 4), size);
      continue;
    }
    ASSERT_EQ(header.substr(0, 16), "RF64\xFF\xFF\xFF\xFFWAVEds64");
    EXPECT_EQ(LE32At(header, kWavHeader - 4), 0xFFFFFFFFu);
    const uint64_t data = LE64At(header, 28);
    EXPECT_LE(kWavHeader + data, size);
    EXPECT_LT(size - (kWavHeader + data), 88200u);
    EXPECT_EQ(LE64At(header, 20), data + kWavHeader - 8);
    EXPECT_EQ(LE64At(header, 36), data / 4);
  }
  wav.Close(0);

  const uint64_t size = std::filesystem::file_size(path);
  ASSERT_EQ(size, skipTo + pcm.size());
  std::ifstream(path, std::ios::binary).read(header.data(), kWavHeader);
  EXPECT_EQ(header.substr(0, 16), "RF64\xFF\xFF\xFF\xFFWAVEds64");
  EXPECT_EQ(LE64At(header, 20), size - 8);
  EXPECT_EQ(LE64At(header, 28), size - kWavHeader);
  EXPECT_EQ(LE64At(header, 36), (size - kWavHeader) / 4);
  EXPECT_EQ(header.substr(48, 4), "fmt ");
  const std::string last = pcm.substr(pcm.size() - 176400);
  const WavTail ffmpeg = ReadTailWithFfmpeg(path, 1.0);
  ASSERT_TRUE(ffmpeg.read);
  EXPECT_EQ(ffmpeg.format, "wav");
  EXPECT_EQ(ffmpeg.frames, static_cast<long long>((size - kWavHeader) / 4));
  EXPECT_TRUE(ffmpeg.pcm == last) << ffmpeg.pcm.size() << " bytes";
  EXPECT_EQ(DeleteFileA(path.c_str()), 1);

  const std::string small = dir.File("small.wav");
  CWaveSave early;
  early.SetRf64FromForTesting(kWavHeader + 176400);
  WriteWav(small, kStereo, pcm, &early);
  EXPECT_EQ(ReadWholeFile(small).substr(0, 4), "RF64");
  for (const WavTail& tail : {ReadTailWithFfmpeg(small, 1.0), ReadTailWithSox(small, 1.0)}) {
    if (!tail.read)
      continue;  // no sox
    EXPECT_EQ(tail.format, "wav");
    EXPECT_EQ(tail.frames, static_cast<long long>(pcm.size() / 4));
    EXPECT_TRUE(tail.pcm == last) << tail.pcm.size() << " bytes";
  }
}

// Written straight to the handle, past Append, PCM cannot pass what a RIFF file counts.
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
  std::string header(kWavHeader, '\0');
  std::ifstream(path, std::ios::binary).read(header.data(), kWavHeader);
  EXPECT_EQ(header.substr(0, 4), "RIFF");               // written past Append: no RF64
  EXPECT_EQ(header.substr(4, 4), "\xFE\xFF\xFF\xFF");   // RIFF size 4,294,967,294
  EXPECT_EQ(header.substr(76, 4), "\xB6\xFF\xFF\xFF");  // data size 4,294,967,222
  EXPECT_EQ(DeleteFileA(path.c_str()), 1);
}

}  // namespace
