#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/FileSizeLimit.h"
#include "common/TestAppDir.h"
#include "host/Mmio.h"
#include "host/PathUtil.h"

namespace {

using sorvo::test::FileSizeLimit;
using sorvo::test::ReadWholeFile;
using sorvo::test::TestAppDir;

const std::string kNested(  // by hand from the RIFF definition
    "RIFF\x26\0\0\0TEST"
    "LIST\x10\0\0\0INFO"
    "abc \x03\0\0\0xyz\0"
    "even\x02\0\0\0hi",
    46);

TEST(MmioTest, NestedChunksGetTheirSizesAndPadBytes) {
  TestAppDir dir;
  const std::string path = dir.File("nested.riff");
  HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  ASSERT_NE(h, nullptr);
  MMCKINFO riff{}, list{}, odd{}, even{};
  riff.fccType = mmioFOURCC('T', 'E', 'S', 'T');
  list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
  odd.ckid = mmioFOURCC('a', 'b', 'c', ' ');
  even.ckid = mmioFOURCC('e', 'v', 'e', 'n');
  even.cksize = 2;  // already right: the field is not rewritten
  EXPECT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioCreateChunk(h, &list, MMIO_CREATELIST), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioCreateChunk(h, &odd, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioWrite(h, "xyz", 3), 3);
  EXPECT_EQ(mmioAscend(h, &odd, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioAscend(h, &list, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioCreateChunk(h, &even, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioWrite(h, "hi", 2), 2);
  EXPECT_EQ(mmioAscend(h, &even, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(riff.cksize, 38u);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  EXPECT_EQ(odd.cksize, 3u);
  EXPECT_EQ(odd.dwFlags & MMIO_DIRTY, 0u);
  EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadWholeFile(path), kNested);
}

// A chunk's size field brought up to date while it is still written: the buffered data goes
// to the file first, the position stays, and the field never counts bytes not in the file.
TEST(MmioTest, AnOpenChunksSizeFollowsWhatIsInTheFile) {
  TestAppDir dir;
  const std::string path = dir.File("growing.riff");
  HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  ASSERT_NE(h, nullptr);
  MMCKINFO riff{}, data{};
  riff.fccType = mmioFOURCC('T', 'E', 'S', 'T');
  data.ckid = mmioFOURCC('d', 'a', 't', 'a');
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioCreateChunk(h, &data, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
  EXPECT_EQ(ReadWholeFile(path), "");  // all of it still buffered
  EXPECT_EQ(mmioUpdateChunkSize(h, &data), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioUpdateChunkSize(h, &riff), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadWholeFile(path), std::string("RIFF\x0F\0\0\0TESTdata\x03\0\0\0abc", 23));
  EXPECT_EQ(data.cksize, 3u);
  EXPECT_NE(data.dwFlags & MMIO_DIRTY, 0u);  // still open
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 23);

  // A position moved past the end counts only what is there.
  ASSERT_EQ(mmioSeek(h, 100, SEEK_SET), 100);
  EXPECT_EQ(mmioUpdateChunkSize(h, &data), MMSYSERR_NOERROR);
  EXPECT_EQ(data.cksize, 3u);
  ASSERT_EQ(mmioSeek(h, 23, SEEK_SET), 23);
  ASSERT_EQ(mmioWrite(h, "d", 1), 1);
  EXPECT_EQ(mmioAscend(h, &data, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioUpdateChunkSize(h, &data), MMSYSERR_INVALPARAM);  // ended
  EXPECT_EQ(mmioAscend(h, &riff, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadWholeFile(path), std::string("RIFF\x10\0\0\0TESTdata\x04\0\0\0abcd", 24));

  // Data the disk refuses leaves the field as it was.
  FileSizeLimit limit(10);
  h = mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF);
  ASSERT_NE(h, nullptr);
  data = MMCKINFO{};
  ASSERT_EQ(mmioCreateChunk(h, &data, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
  EXPECT_EQ(mmioUpdateChunkSize(h, &data), MMIOERR_CANNOTWRITE);
  EXPECT_EQ(data.cksize, 0u);
  EXPECT_EQ(ReadWholeFile(path), "");
  EXPECT_EQ(mmioClose(h, 0), MMIOERR_CANNOTWRITE);
}

TEST(MmioTest, FailedWritesAreReportedAndLeaveNoStrayBytes) {
  TestAppDir dir;
  const std::string path = dir.File("limited");
  FileSizeLimit limit(11);
  HMMIO h = mmioOpenA(path.c_str(), nullptr, MMIO_CREATE | MMIO_WRITE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(mmioWrite(h, std::string(20, 'x').data(), 20), -1);
  EXPECT_EQ(ReadWholeFile(path), "");  // the 11 bytes that fitted were taken back

  MMCKINFO ck{};
  ck.ckid = mmioFOURCC('o', 'd', 'd', ' ');
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioWrite(h, "abc", 3), 3);
  EXPECT_EQ(mmioAscend(h, &ck, 0), MMIOERR_CANNOTWRITE);  // no room for the pad byte
  limit.Set(12);
  EXPECT_EQ(mmioAscend(h, &ck, 0), MMSYSERR_NOERROR);  // repeatable: one pad byte, size 3
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 12);
  EXPECT_EQ(mmioClose(h, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadWholeFile(path), std::string("odd \x03\0\0\0abc\0", 12));

  HMMIO full = mmioOpenA("/dev/full", nullptr, MMIO_WRITE);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(mmioWrite(full, "x", 1), -1);
  EXPECT_EQ(mmioClose(full, 0), MMSYSERR_NOERROR);
  full = mmioOpenA("/dev/full", nullptr, MMIO_WRITE | MMIO_ALLOCBUF);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(mmioWrite(full, "x", 1), 1);  // buffered: the failure shows when it is written
  EXPECT_EQ(mmioFlush(full, 0), MMIOERR_CANNOTWRITE);
  EXPECT_EQ(mmioClose(full, 0), MMIOERR_CANNOTWRITE);
}

TEST(MmioTest, OpenErrorsAndSharing) {
  TestAppDir dir;
  MMIOINFO info{};
  EXPECT_EQ(mmioOpenA(dir.File("none").c_str(), &info, MMIO_READ), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
  EXPECT_EQ(mmioOpenA(dir.File("no/dir").c_str(), &info, MMIO_CREATE | MMIO_WRITE), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_PATHNOTFOUND);
  EXPECT_EQ(mmioOpenA(dir.path().c_str(), &info, MMIO_WRITE), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_ACCESSDENIED);

  const std::string path = dir.File("held.wav");
  const uint32_t writeDenyingOthers = MMIO_CREATE | MMIO_WRITE | MMIO_DENYWRITE;
  HMMIO first = mmioOpenA(path.c_str(), &info, writeDenyingOthers);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(info.hmmio, first);
  ASSERT_EQ(mmioWrite(first, "kept", 4), 4);
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, writeDenyingOthers), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_WRITE | MMIO_DENYNONE), nullptr);
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_DELETE), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_SHARINGVIOLATION);
  EXPECT_EQ(mmioClose(first, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadWholeFile(path), "kept");  // the refused opens truncated nothing

  EXPECT_NE(mmioOpenA(path.c_str(), nullptr, MMIO_DELETE), nullptr);
  EXPECT_EQ(PathFileExistsA(path.c_str()), 0);
  EXPECT_EQ(mmioOpenA(path.c_str(), &info, MMIO_DELETE), nullptr);
  EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
}

}  // namespace
