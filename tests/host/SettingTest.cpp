#include <gtest/gtest.h>

#include "common/TestAppDir.h"
#include "host/AppDirectory.h"
#include "host/Setting.h"

namespace {

using sorvo::test::TestAppDir;

TEST(SettingTest, MissingFileGivesDefaults) {
  TestAppDir dir;
  CSetting setting("SettingVideo.ini");
  EXPECT_EQ(setting.GetInt("Sorvo", "SaveStream", 0, 1), 0);
  EXPECT_EQ(setting.GetInt("Sorvo", "SaveStream", 7, 1), 7);
}

TEST(SettingTest, ReadsIntegerFromTheApplicationDirectory) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Other]\nSaveStream=5\n[Sorvo]\nSaveStream=1\n");
  CSetting setting("SettingVideo.ini");
  EXPECT_EQ(setting.GetInt("Sorvo", "SaveStream", 0, 1), 1);
  EXPECT_EQ(setting.GetInt("Other", "SaveStream", 0, 1), 5);
  EXPECT_EQ(setting.GetInt("Sorvo", "Missing", 3, 1), 3);
  EXPECT_EQ(setting.GetInt("Nowhere", "SaveStream", 4, 1), 4);
}

TEST(SettingTest, MalformedValuesAndFilesFallBackToDefaults) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=yes\n");
  EXPECT_EQ(CSetting("SettingVideo.ini").GetInt("Sorvo", "SaveStream", 9, 1), 9);
  dir.WriteFile("SettingVideo.ini", "[Sorvo\nSaveStream=1\n");  // broken section header
  EXPECT_EQ(CSetting("SettingVideo.ini").GetInt("Sorvo", "SaveStream", 0, 1), 0);
  // Dots in names are not paths.
  EXPECT_EQ(CSetting("SettingVideo.ini").GetInt("a.b", "c.d", 2, 1), 2);
}

TEST(SettingTest, ReadsTrimmedStringsWithDefaults) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress =  127.0.0.1 \nEmpty=\n");
  CSetting setting("SettingVideo.ini");
  EXPECT_EQ(setting.GetString("Transfer", "BindAddress", "x"), "127.0.0.1");
  EXPECT_EQ(setting.GetString("Transfer", "Empty", "x"), "");
  EXPECT_EQ(setting.GetString("Transfer", "Missing", "x"), "x");
  EXPECT_EQ(setting.GetString("Transfer", "Missing", nullptr), "");
  EXPECT_EQ(setting.GetString(nullptr, "BindAddress", "x"), "x");
}

TEST(SettingTest, SectionsAndKeysMatchWhateverTheirCaseAndValuesStayAsWritten) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini",
                "[sorvo]\nsavestream=1\n[TRANSFER]\nbindaddress=Host.Example\n");
  CSetting setting("SettingVideo.ini");
  EXPECT_EQ(setting.GetInt("Sorvo", "SaveStream", 0, 1), 1);
  EXPECT_EQ(setting.GetInt("SORVO", "SAVESTREAM", 0, 1), 1);
  EXPECT_EQ(setting.GetString("Transfer", "BindAddress", "x"), "Host.Example");
  EXPECT_EQ(setting.GetInt("Sorvo", "SaveStreams", 7, 1), 7);  // still whole names only

  // Where names differ only in case, the first in the file counts.
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nSaveStream=2\nSAVESTREAM=3\n[SORVO]\nOther=4\n");
  CSetting twice("SettingVideo.ini");
  EXPECT_EQ(twice.GetInt("sorvo", "savestream", 0, 1), 2);
  EXPECT_EQ(twice.GetInt("sorvo", "other", 0, 1), 4);
}

TEST(AppDirectoryTest, EnvironmentThenOverrideWithoutTrailingSlash) {
  TestAppDir dir;
  EXPECT_EQ(sorvo::AppDirectory(), dir.path());
  SorvoSetAppDirectory("/some/where///");
  EXPECT_EQ(sorvo::AppDirectory(), "/some/where");
  char small[6];
  EXPECT_EQ(SorvoGetAppDirectory(small, sizeof(small)), 11);
  EXPECT_STREQ(small, "/some");
  SorvoSetAppDirectory(nullptr);
  EXPECT_EQ(sorvo::AppDirectory(), dir.path());
}

}  // namespace
