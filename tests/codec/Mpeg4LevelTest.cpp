#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "common/CodecTestSupport.h"
#include "common/TestAppDir.h"

namespace {

struct LevelCase {
  int width, height, rate, bitRate;
  int indication;  // profile_and_level_indication: Simple Profile (0) in the high bits
};

// Each stream's sequence header, in band and in the decoder configuration, names the
// lowest Simple Profile level whose size, macroblock rate and bit rate hold it.
TEST(Mpeg4LevelTest, TheSequenceHeaderNamesTheLowestLevelThatHoldsTheStream) {
  sorvo::test::TestAppDir dir;
  for (const LevelCase& c : {
           LevelCase{176, 144, 15, 64000, 0x01},     // level 1: 99 macroblocks at 1,485/s
           LevelCase{176, 144, 25, 64000, 0x02},     // 2,475 macroblocks/s: level 2
           LevelCase{352, 288, 25, 384000, 0x03},    // 9,900/s: level 3 (11,880)
           LevelCase{352, 288, 15, 1000000, 0x04},   // the bit rate alone asks for 4a
           LevelCase{640, 480, 25, 2000000, 0x04},   // 1,200 macroblocks: 4a
           LevelCase{720, 576, 25, 2000000, 0x05},   // 1,620: level 5
           LevelCase{1280, 720, 25, 2000000, 0x06},  // 3,600: level 6
           LevelCase{1920, 1080, 25, 2000000, 0x06}  // beyond every level: the highest
       }) {
    sorvo::test::RecordingEncoder encoder;
    ASSERT_EQ(encoder.Open(c.width, c.height, PIX_FMT_YUV420P, c.rate, c.bitRate, "level"), 1);
    std::vector<uint8_t> picture = sorvo::test::MovingYuvPicture(c.width, c.height, 0);
    ASSERT_EQ(encoder.Encode(0, 0, picture.data(), static_cast<long>(picture.size())), 1);
    const std::vector<uint8_t>& key = encoder.packets[0].data;
    const AVCodecContext* context = encoder.GetCodecContext();
    const std::vector<uint8_t> sequenceStart = {0x00, 0x00, 0x01, 0xB0};
    ASSERT_GE(key.size(), 5u);
    ASSERT_GE(context->extradata_size, 5);
    ASSERT_TRUE(std::equal(sequenceStart.begin(), sequenceStart.end(), key.begin()));
    ASSERT_TRUE(std::equal(sequenceStart.begin(), sequenceStart.end(), context->extradata));
    EXPECT_EQ(key[4], c.indication) << c.width << "x" << c.height << " at " << c.rate;
    EXPECT_EQ(context->extradata[4], c.indication) << c.width << "x" << c.height;
  }
}

}  // namespace
