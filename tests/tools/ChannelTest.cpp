// The recorder's channels on their own, without a session around them: a camera channel
// opens, records, stops, closes and reports itself, and what it reports at the end is what
// its file holds.
#include <gtest/gtest.h>

#include <string>

#include "common/LoopbackClient.h"
#include "common/TestAppDir.h"
#include "common/WaitUntil.h"
#include "tools/common/MediaReadBack.h"
#include "tools/record/CameraChannel.h"

namespace {

using namespace sorvo::tools;
using sorvo::test::FreeLoopbackPort;
using sorvo::test::TestAppDir;
using sorvo::test::WaitUntil;

TEST(CameraChannelTest, ReportsItselfFromOpenToCloseAndEndsWithWhatItsFileHolds) {
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Transfer]\nBindAddress=127.0.0.1\n");
  RecordOptions options;
  options.portBase = FreeLoopbackPort() - 1;  // camera 0 serves on the base's next port
  std::string error;
  const auto camera = CameraChannel::Open(0, "test:320x240,name=Stage", options, &error);
  ASSERT_TRUE(camera) << error;
  const SinkStatus opened = camera->Status();
  EXPECT_EQ(opened.name, "camera0");
  EXPECT_EQ(opened.camera, 0);
  EXPECT_NE(opened.source.find("320x240"), std::string::npos) << opened.source;
  EXPECT_EQ(opened.packets, 0);
  EXPECT_FALSE(opened.final);

  InitSorvo();
  const FileMetadata metadata(options.fps);
  const std::string path = dir.File("Stage.mp4");
  ASSERT_TRUE(camera->Create(path, options.bitrate, false, metadata, &error)) << error;
  const SessionClock clock;
  camera->Start(clock, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return camera->Status().packets >= 10; }));
  camera->EndAt(clock.Now());
  camera->StopFeeding();
  // The sink's Close drops what it still holds: it is given the time to encode it.
  ASSERT_TRUE(WaitUntil([&] {
    const SinkStatus status = camera->Status();
    return status.packets + status.leftOut >= status.buffersIn;
  }));
  camera->Close();
  const SinkStatus closed = camera->Status();
  EXPECT_TRUE(closed.final);
  EXPECT_GE(closed.packets, 10);
  // Closing again changes nothing, and the counts stay those of the closed sink.
  camera->Close();
  camera->Release();
  EXPECT_EQ(camera->Status().packets, closed.packets);
  EXPECT_EQ(camera->Status().buffersIn, closed.buffersIn);
  EXPECT_TRUE(camera->editFile().started);
  EXPECT_EQ(camera->editFile().name, "Stage");
  EXPECT_EQ(camera->editFile().path, path);

  const FileReadBack file = ReadBack(path);
  ASSERT_TRUE(file.Good()) << file.error;
  long long pictures = 0;
  for (const StreamReadBack& stream : file.streams)
    if (stream.kind == "video")
      pictures += stream.frames;
  EXPECT_EQ(pictures, closed.packets);
}

}  // namespace
