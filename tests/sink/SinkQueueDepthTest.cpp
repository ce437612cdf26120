// How far a sink's encoder may fall behind before its queue gives pictures up: five
// pictures by default, as many as "FrameBuffers" in SettingVideo.ini says otherwise. The
// worker is held inside its packet hook while the capture thread goes on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/CounterPicture.h"
#include "common/LogCapture.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/SinkTestSupport.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;

// Picture 0 is encoded and the worker held after it; pictures 1 to `whileHeld` come
// meanwhile; then the worker goes on. The counters of the pictures that were encoded.
std::vector<int> EncodedAfterAStall(const TestAppDir& dir, int whileHeld) {
  HeldSink sink(0);
  EXPECT_EQ(sink.Create("deep", dir.File("deep.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 400000,
                        0, 0, 0),
            1);
  PacketCollector packets;
  sink.SetEncodeDataOutputCB(&packets);
  for (int k = 0; k <= whileHeld; ++k) {
    std::vector<uint8_t> picture = CounterPicture(kW, kH, 0, k);
    sink.OnBuffer(0, k / 25.0, picture.data(), static_cast<long>(picture.size()), kW, kH,
                  PIX_FMT_YUV420P);
    if (k == 0 && !sink.WaitUntilHeld())
      return {};
  }
  sink.LetGo();
  // The last picture delivered is always kept: once it is out, nothing more comes.
  EXPECT_TRUE(packets.WaitForSlot(whileHeld));
  StreamInfo info;
  sink.GetStreamInfo(&info);
  EXPECT_EQ(info.framesIn, whileHeld + 1);
  sink.Close();
  return DecodedCounters(packets.Packets());
}

// Pictures 0 to `last`, without picture 1 when it `gaveWay`.
std::vector<int> Pictures(int last, bool gaveWay) {
  std::vector<int> counters;
  for (int k = 0; k <= last; ++k)
    if (k != 1 || !gaveWay)
      counters.push_back(k);
  return counters;
}

TEST(SinkQueueDepthTest, ByDefaultTheFifthPictureWaitingGivesWayToTheNext) {
  InitSorvo();
  TestAppDir dir;
  // The held worker keeps picture 0's buffer; the other four hold pictures 1 to 4, and
  // picture 5 takes the place of picture 1.
  EXPECT_EQ(EncodedAfterAStall(dir, 5), Pictures(5, true));
}

TEST(SinkQueueDepthTest, ADeeperQueueCarriesAStallOfMorePicturesWithoutLoss) {
  InitSorvo();
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nFrameBuffers=12\n");
  EXPECT_EQ(EncodedAfterAStall(dir, 11), Pictures(11, false));
  // One picture more than it holds, and the oldest waiting one gives way.
  EXPECT_EQ(EncodedAfterAStall(dir, 12), Pictures(12, true));
}

TEST(SinkQueueDepthTest, ADepthOutsideItsBoundsIsBoundedAndSaidSo) {
  InitSorvo();
  TestAppDir dir;
  dir.WriteFile("SettingVideo.ini", "[Sorvo]\nFrameBuffers=1\n");
  LogCapture log;
  // Two buffers: the one the held worker keeps and one for the newest picture.
  EXPECT_EQ(EncodedAfterAStall(dir, 3), (std::vector<int>{0, 3}));
  bool said = false;
  for (const LogLine& line : log.Lines())
    said |= line.text == "sink deep: FrameBuffers=1 is outside 2 to 250; 2 are used";
  EXPECT_TRUE(said);
}

}  // namespace
