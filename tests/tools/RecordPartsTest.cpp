// The parts of sorvo-record whose faults a whole run would hide: the settings edit that
// must leave the user's file as it was, and the synthetic pictures a viewer reads.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/TestAppDir.h"
#include "tools/record/SessionSetting.h"
#include "tools/record/SessionSummary.h"
#include "tools/record/sources/GlyphFont.h"
#include "tools/record/sources/SyntheticCamera.h"

namespace {

using sorvo::test::ReadWholeFile;
using sorvo::test::TestAppDir;
using sorvo::tools::FileCheck;
using sorvo::tools::MarkFileLengths;
using sorvo::tools::OutputFile;
using sorvo::tools::SessionSetting;

TEST(SessionSettingTest, SetsTheKeyAndKeepsEverythingElse) {
  struct Case {
    std::string before;
    std::string after;
  };
  const std::vector<Case> cases = {
      {"", "[Sorvo]\nSaveStream=1\n"},
      {"[Transfer]\nBindAddress=127.0.0.1\n",
       "[Transfer]\nBindAddress=127.0.0.1\n[Sorvo]\nSaveStream=1\n"},
      {"; comment\n[Sorvo]\nSaveStream = 0\nOther=5\n",
       "; comment\n[Sorvo]\nSaveStream=1\nOther=5\n"},
      {"[Sorvo]\nOther=5\n[Transfer]\nSaveStream=0\n",
       "[Sorvo]\nSaveStream=1\nOther=5\n[Transfer]\nSaveStream=0\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(SessionSetting::WithKeyOn(c.before, "SaveStream"), c.after);
  // The library finds sections and keys whatever their case: so does the edit, or the
  // user's own line would win over the recorder's.
  EXPECT_EQ(SessionSetting::WithKeyOn("[sorvo]\nsavestream = 0\n", "SaveStream"),
            "[sorvo]\nSaveStream=1\n");
  EXPECT_EQ(SessionSetting::WithKeyOn("[SORVO]\nOther=5\n", "SaveStream"),
            "[SORVO]\nSaveStream=1\nOther=5\n");
  // A second key joins the first in the same section, and neither is taken for the other.
  EXPECT_EQ(SessionSetting::WithKeyOn("[Sorvo]\nSaveStream=1\nFragmentedMP4=0\n", "FragmentedMP4"),
            "[Sorvo]\nSaveStream=1\nFragmentedMP4=1\n");
  EXPECT_EQ(SessionSetting::WithKeyOn("[Sorvo]\nSaveStream=1\n", "FragmentedMP4"),
            "[Sorvo]\nFragmentedMP4=1\nSaveStream=1\n");
}

TEST(SessionSettingTest, PutsTheUsersFileBackOrRemovesItsOwn) {
  TestAppDir dir;
  const std::string path = dir.File("SettingVideo.ini");
  {
    SessionSetting setting(dir.path(), {"SaveStream", "FragmentedMP4"});
    ASSERT_TRUE(setting.ok());
    EXPECT_EQ(ReadWholeFile(path), "[Sorvo]\nFragmentedMP4=1\nSaveStream=1\n");
  }
  EXPECT_FALSE(std::ifstream(path).good());
  {
    // Nothing asked for, nothing written.
    SessionSetting setting(dir.path(), {});
    EXPECT_TRUE(setting.ok());
    EXPECT_FALSE(std::ifstream(path).good());
  }

  const std::string mine = "[Transfer]\r\nBindAddress=0.0.0.0\r\n";
  dir.WriteFile("SettingVideo.ini", mine);
  {
    SessionSetting setting(dir.path(), {"FragmentedMP4"});
    EXPECT_NE(ReadWholeFile(path).find("FragmentedMP4=1"), std::string::npos);
  }
  EXPECT_EQ(ReadWholeFile(path), mine);
}

TEST(SessionSettingTest, StartsFromTheUsersFileInAFolderOfItsOwn) {
  TestAppDir user;
  TestAppDir session;
  const std::string mine = "[Transfer]\nBindAddress=127.0.0.1\n";
  user.WriteFile("SettingVideo.ini", mine);
  const std::string path = session.File("SettingVideo.ini");
  {
    SessionSetting setting(session.path(), {"SaveStream"}, user.File("SettingVideo.ini"));
    ASSERT_TRUE(setting.ok());
    EXPECT_EQ(ReadWholeFile(path), mine + "[Sorvo]\nSaveStream=1\n");
  }
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(ReadWholeFile(user.File("SettingVideo.ini")), mine);
  {
    // The user's settings hold with no key to turn on; a user without a file has none.
    SessionSetting setting(session.path(), {}, user.File("SettingVideo.ini"));
    EXPECT_EQ(ReadWholeFile(path), mine);
  }
  {
    SessionSetting setting(session.path(), {"FragmentedMP4"}, user.File("missing.ini"));
    EXPECT_EQ(ReadWholeFile(path), "[Sorvo]\nFragmentedMP4=1\n");
  }
  EXPECT_FALSE(std::ifstream(path).good());
}

// The camera's number and picture counter are drawn white and yellow on a black panel at
// the top left, in the 5 x 7 font scaled to a sixtieth of the height.
TEST(SyntheticCameraTest, DrawsItsNumberAndCounterReadably) {
  const int width = 320, height = 240, scale = height / 60, margin = 2 * scale;
  sorvo::tools::SyntheticCamera camera(3, width, height, PIX_FMT_BGR24, 25);
  std::vector<uint8_t> picture;
  camera.Draw(1234, &picture);
  ASSERT_EQ(picture.size(), static_cast<size_t>(width * height * 3));

  auto pixel = [&](int x, int y) {
    const uint8_t* p = &picture[(y * width + x) * 3];
    return std::vector<int>{p[2], p[1], p[0]};
  };
  // "CAM 3" on the first line, "001234" on the second: check each font pixel's centre.
  auto expectText = [&](const std::string& text, int top, std::vector<int> colour) {
    for (size_t i = 0; i < text.size(); ++i) {
      const uint8_t* rows = sorvo::tools::Glyph(text[i]);
      ASSERT_NE(rows, nullptr);
      for (int row = 0; row < sorvo::tools::kGlyphHeight; ++row)
        for (int column = 0; column < sorvo::tools::kGlyphWidth; ++column) {
          const int x = margin + static_cast<int>(i) * 6 * scale + column * scale + scale / 2;
          const int y = top + row * scale + scale / 2;
          const bool set = rows[row] & (0x10 >> column);
          const std::vector<int> expected = set ? colour : std::vector<int>{0, 0, 0};
          EXPECT_EQ(pixel(x, y), expected)
              << text << " character " << i << " row " << row << " column " << column;
        }
    }
  };
  expectText("CAM 3", margin, {255, 255, 255});
  expectText("001234", margin + 9 * scale, {255, 255, 0});

  // The rest of the picture moves from one picture to the next.
  std::vector<uint8_t> next;
  camera.Draw(1235, &next);
  const size_t below = static_cast<size_t>(width * 3 * height / 2);
  EXPECT_NE(std::vector<uint8_t>(picture.begin() + below, picture.end()),
            std::vector<uint8_t>(next.begin() + below, next.end()));
}

TEST(SyntheticCameraTest, PlanarPicturesCarryTheSameText) {
  const int width = 321, height = 241;
  sorvo::tools::SyntheticCamera camera(0, width, height, PIX_FMT_YUV420P, 25);
  std::vector<uint8_t> picture;
  camera.Draw(7, &picture);
  ASSERT_EQ(picture.size(), static_cast<size_t>(SorvoPictureSize(PIX_FMT_YUV420P, width, height)));
  // The top-left pixel of the "C" is set, the one before it is panel: studio-range white
  // and black in the luma plane.
  const int scale = height / 60, margin = 2 * scale;
  EXPECT_EQ(picture[(margin + scale / 2) * width + margin + scale + scale / 2], 235);
  EXPECT_EQ(picture[(margin + scale / 2) * width + margin + scale / 2], 16);
}

}  // namespace

// A file whose sound runs on past the session is named, with how far, beside a file that
// lasts the session; a file of slower pictures may end one of its own pictures later.
TEST(SessionSummaryTest, SaysWhichFileIsOffTheSessionsLengthAndByHowMuch) {
  auto file = [](const char* path, OutputFile::Kind kind, double pictures, int frames,
                 double sound) {
    FileCheck check;
    check.file = {kind, std::string("/out/") + path, "sink"};
    check.good = true;
    check.media.opened = true;
    if (pictures >= 0) {
      check.media.streams.push_back({});
      check.media.streams.back().kind = "video";
      check.media.streams.back().frames = frames;
      check.media.streams.back().endSeconds = pictures;
    }
    if (sound >= 0) {
      check.media.streams.push_back({});
      check.media.streams.back().kind = "audio";
      check.media.streams.back().startSeconds = -0.05;  // cut by an edit list
      check.media.streams.back().endSeconds = sound;
    }
    return check;
  };
  std::vector<FileCheck> checks = {
      file("camera0.mp4", OutputFile::Kind::kCameraMp4, 30.03, 751, -1),
      file("director.mp4", OutputFile::Kind::kDirectorMp4, 30.02, 751, 32.5),
      file("sound.wav", OutputFile::Kind::kWav, -1, 0, 29.9),
      file("camera1.mp4", OutputFile::Kind::kCameraMp4, 30.09, 301, -1)};
  MarkFileLengths(&checks, 30.0, 25);
  EXPECT_TRUE(checks[0].good) << checks[0].problem;
  EXPECT_FALSE(checks[1].good);
  EXPECT_EQ(checks[1].problem,
            "its sound lasts 32.50 s, 2.50 s longer than the session (camera0.mp4 lasts 30.03 s)");
  EXPECT_FALSE(checks[2].good);
  EXPECT_NE(checks[2].problem.find("its sound lasts 29.90 s, 0.10 s shorter"), std::string::npos);
  EXPECT_TRUE(checks[3].good) << checks[3].problem;  // ten pictures a second
}
