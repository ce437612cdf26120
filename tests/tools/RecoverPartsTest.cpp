// Parts of sorvo-recover on inputs a whole run rarely produces: MP3 headers that turn up
// by chance among pictures, MPEG-4 headers cut short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RecoverTestSupport.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Headers.h"
#include "tools/recover/ElementaryWalker.h"

namespace {

using namespace sorvo::test;
using namespace sorvo::tools;

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(SoundFormatTest, AFewMp3FramesAmongManyPicturesAreChanceNotSound) {
  const std::vector<std::string> pictures = EncodedClip(64, 48, 25, 100);
  const std::vector<std::string> mono = EncodedTone(1, 22050, 22050);
  const std::vector<std::string> stereo = EncodedTone(2, 44100, 44100);
  ASSERT_GT(mono.size(), 10u);
  ASSERT_GT(stereo.size(), 10u);

  // Three stray frames, each followed by a picture, as a chance header would be.
  std::string stray;
  for (size_t i = 0; i < pictures.size(); ++i) {
    stray += pictures[i];
    if (i == 10 || i == 50)
      stray += mono[i / 10];
    if (i == 70)
      stray += stereo[3];
  }
  Mp3FrameHeader format;
  EXPECT_FALSE(FindSoundFormat(Bytes(stray), stray.size(), &format));

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

}  // namespace
