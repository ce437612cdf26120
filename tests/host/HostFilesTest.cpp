#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/ScopedBackupFault.h"
#include "common/TestAppDir.h"
#include "host/BackupFile.h"
#include "host/CFile.h"
#include "host/PathUtil.h"
#include "host/ScaleRect.h"
#include "host/TimeStamp.h"

namespace {

using sorvo::test::ReadWholeFile;
using sorvo::test::ScopedBackupFault;
using sorvo::test::TestAppDir;

TEST(PathUtilTest, ExtensionsAndFileSpecs) {
  EXPECT_STREQ(PathFindExtensionA("/rec/cam1.mp4"), ".mp4");
  EXPECT_STREQ(PathFindExtensionA("/rec.d/cam1"), "");
  EXPECT_STREQ(PathFindExtensionA("a.tar.gz"), ".gz");

  char path[64];
  std::strcpy(path, "/rec/cam1.mp4");
  PathRemoveExtensionA(path);
  EXPECT_STREQ(path, "/rec/cam1");
  std::strcpy(path, "/rec.d/cam1");
  PathRemoveExtensionA(path);
  EXPECT_STREQ(path, "/rec.d/cam1");

  std::strcpy(path, "/rec/cam1.mp4");
  EXPECT_EQ(PathRemoveFileSpecA(path), 1);
  EXPECT_STREQ(path, "/rec");
  std::strcpy(path, "/cam1.mp4");
  EXPECT_EQ(PathRemoveFileSpecA(path), 1);
  EXPECT_STREQ(path, "/");
  EXPECT_EQ(PathRemoveFileSpecA(path), 0);
}

TEST(PathUtilTest, FilesAndDirectories) {
  TestAppDir dir;
  const std::string sub = dir.File("RawStream/");
  EXPECT_EQ(CreateDirectoryA(sub.c_str(), nullptr), 1);
  EXPECT_EQ(CreateDirectoryA(sub.c_str(), nullptr), 0);  // exists: fails, harmless
  EXPECT_EQ(PathFileExistsA(sub.c_str()), 1);
  EXPECT_EQ(PathFileExistsA(dir.File("none").c_str()), 0);
  EXPECT_EQ(PathFileExistsA(nullptr), 0);
  dir.WriteFile("x", "1");
  EXPECT_EQ(DeleteFileA(dir.File("x").c_str()), 1);
  EXPECT_EQ(DeleteFileA(dir.File("x").c_str()), 0);
}

TEST(CFileTest, CreateTruncatesAndWriteFailuresAreReported) {
  TestAppDir dir;
  const std::string path = dir.File("out.raw");
  dir.WriteFile("out.raw", "old content");
  CFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite));
  EXPECT_TRUE(file.Write("abc", 3));
  file.Close();
  EXPECT_EQ(ReadWholeFile(path), "abc");
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Write("x", 1));  // closed
  EXPECT_FALSE(file.Open(dir.File("missing/dir/f").c_str(), CFile::modeCreate | CFile::modeWrite));

  CFile full;
  ASSERT_TRUE(full.Open("/dev/full", CFile::modeWrite));
  EXPECT_FALSE(full.Write("x", 1));
}

TEST(CFileTest, NewFilesNeverTruncateAnEarlierOne) {
  TestAppDir dir;
  dir.WriteFile("Sorvo_1_1_c0c0.mp4", "earlier");
  CFile second, third;
  EXPECT_EQ(sorvo::OpenNewFile(second, dir.File("Sorvo_1_1_c0c0.mp4")),
            dir.File("Sorvo_1_1_c0c0_2.mp4"));
  EXPECT_EQ(sorvo::OpenNewFile(third, dir.File("Sorvo_1_1_c0c0.mp4")),
            dir.File("Sorvo_1_1_c0c0_3.mp4"));
  EXPECT_EQ(ReadWholeFile(dir.File("Sorvo_1_1_c0c0.mp4")), "earlier");
  CFile none;
  EXPECT_EQ(sorvo::OpenNewFile(none, dir.File("missing/x.mp4")), "");
}

TEST(BackupFileTest, MovesAsideWithoutOverwritingEarlierBackups) {
  TestAppDir dir;
  const std::string path = dir.File("cam1.mp4");
  EXPECT_EQ(BackupFile(path.c_str(), 1), 0);  // nothing to move
  dir.WriteFile("cam1.mp4", "first");
  EXPECT_EQ(BackupFile(path.c_str(), 1), 1);
  dir.WriteFile("cam1.mp4", "second");
  EXPECT_EQ(BackupFile(path.c_str(), 1), 1);
  EXPECT_EQ(PathFileExistsA(path.c_str()), 0);
  EXPECT_EQ(ReadWholeFile(dir.File("cam1_bak1.mp4")), "first");
  EXPECT_EQ(ReadWholeFile(dir.File("cam1_bak2.mp4")), "second");
}

TEST(BackupFileTest, FileSystemsWithoutTheNoReplaceRenameStillGetBackups) {
  for (sorvo::BackupFault fault :
       {sorvo::BackupFault::kNoNoReplaceRename, sorvo::BackupFault::kNoHardLinks}) {
    SCOPED_TRACE(static_cast<int>(fault));
    TestAppDir dir;
    ScopedBackupFault lesser(fault);
    const std::string path = dir.File("cam1.mp4");
    dir.WriteFile("cam1_bak1.mp4", "an older backup");
    dir.WriteFile("cam1.mp4", "first");
    EXPECT_EQ(BackupFile(path.c_str(), 1), 1);
    EXPECT_EQ(PathFileExistsA(path.c_str()), 0);
    EXPECT_EQ(ReadWholeFile(dir.File("cam1_bak1.mp4")), "an older backup");
    EXPECT_EQ(ReadWholeFile(dir.File("cam1_bak2.mp4")), "first");
  }
}

TEST(BackupFileTest, WhenNothingMovesTheFileStaysWhereItIs) {
  TestAppDir dir;
  ScopedBackupFault stuck(sorvo::BackupFault::kNothingMoves);
  const std::string path = dir.File("cam1.mp4");
  dir.WriteFile("cam1.mp4", "first");
  errno = 0;
  EXPECT_EQ(BackupFile(path.c_str(), 1), 0);
  EXPECT_EQ(errno, EPERM);
  EXPECT_EQ(ReadWholeFile(path), "first");
  EXPECT_EQ(PathFileExistsA(dir.File("cam1_bak1.mp4").c_str()), 0);
}

TEST(ScaleRectTest, LargestCentredRectangleOfTheSourceAspect) {
  EXPECT_EQ(ScaleRect(CRect(0, 0, 1280, 720), 640, 480, 0), CRect(160, 0, 1120, 720));
  EXPECT_EQ(ScaleRect(CRect(0, 0, 640, 480), 1280, 720, 0), CRect(0, 60, 640, 420));
  EXPECT_EQ(ScaleRect(CRect(0, 0, 640, 480), 320, 240, 0), CRect(0, 0, 640, 480));
  EXPECT_EQ(ScaleRect(CRect(0, 0, 640, 480), 0, 240, 0), CRect(0, 0, 640, 480));
}

TEST(TimeStampTest, FileStampHasTheFixedShape) {
  const std::string stamp = sorvo::FileTimeStamp();
  ASSERT_EQ(stamp.size(), 16u);  // _YYYYMMDD_HHMMSS
  EXPECT_EQ(stamp[0], '_');
  EXPECT_EQ(stamp[9], '_');
  EXPECT_EQ(sorvo::LocalTimeStamp("%Y", 0).size(), 4u);
  // A text that does not fit in 128 bytes gives an empty stamp.
  EXPECT_EQ(sorvo::LocalTimeStamp(std::string(200, 'x').c_str(), 0), "");
}

}  // namespace
