// sorvo-record with a grey camera, as the README offers it: the camera's own file holds
// its pictures, grey, and the recorder says every file is good.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "ToolPaths.h"
#include "ToolProcess.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using namespace sorvo::test;

TEST(GrayCameraRecordTest, AGreyTestCameraIsRecordedAndTheSessionEndsWell) {
  TestAppDir dir;
  // The camera's port is base + 1, the sound's base + 10.
  const int base = FreePortBase(10);
  ASSERT_GT(base, 0) << "no free range of ports";
  const std::string out = dir.File("grey");
  const ToolResult run = RunTool(kRecordProgram,
                                 {"--camera", "test:640x480:gray", "--seconds", "2", "--ports",
                                  std::to_string(base), "--out", out},
                                 dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Every file is good"), std::string::npos) << run.out;

  const ProbedFile file = ProbeFile(out + "/camera0.mp4", /*keepPictures=*/true);
  ASSERT_TRUE(file.opened);
  // The pictures and their timecode track.
  ASSERT_EQ(file.streams.size(), 2u);
  const ProbedStream& video = file.streams[0];
  EXPECT_EQ(video.codecId, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(video.width, 640);
  EXPECT_EQ(video.height, 480);
  EXPECT_EQ(video.decodeErrors, 0);
  // Two seconds of a camera, less what a slow (sanitised) machine drops.
  ASSERT_GE(video.pictures.size(), 10u);
  for (const Picture& picture : {video.pictures.front(), video.pictures.back()}) {
    // The test pattern shows bright and dark parts, in grey only.
    uint8_t darkest = 255, brightest = 0;
    for (uint8_t sample : picture.y) {
      darkest = std::min(darkest, sample);
      brightest = std::max(brightest, sample);
    }
    EXPECT_GT(brightest - darkest, 100);
    for (const std::vector<uint8_t>* plane : {&picture.u, &picture.v})
      for (uint8_t sample : *plane)
        ASSERT_NEAR(sample, 128, 3);
  }
}

}  // namespace
