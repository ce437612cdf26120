#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/CSorvoSinkFF.h"

namespace {

using sorvo::test::TestAppDir;

TEST(SinkContractTest, StreamInfoAfterConstructionIsZeroButPixelFormat) {
  CSorvoSinkFF* sink = new CSorvoSinkFF();
  unsigned char bytes[80];
  std::memset(bytes, 0xEE, sizeof(bytes));
  EXPECT_EQ(sink->GetStreamInfo(bytes), 1);
  for (int i = 0; i < 56; ++i) EXPECT_EQ(bytes[i], 0) << i;
  const unsigned char minusOne[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(bytes + 56, minusOne, 4), 0);
  for (int i = 60; i < 80; ++i) EXPECT_EQ(bytes[i], 0) << i;
  sink->Release();
}

TEST(SinkContractTest, QueryInterfaceLeavesTheOutPointer) {
  CSorvoSinkFF* sink = new CSorvoSinkFF();
  ISorvoSink* face = sink;
  void* out = &out;
  EXPECT_EQ(face->QueryInterface(GUID{}, &out), 1);
  EXPECT_EQ(out, &out);
  face->Release();
}

TEST(SinkContractTest, GreyInputEncodesAsYuvButKeepsEightInStreamInfo) {
  TestAppDir dir;
  InitSorvo();
  CSorvoSinkFF* sink = new CSorvoSinkFF();
  ASSERT_EQ(sink->Create("g", dir.File("g.mp4").c_str(), 320, 240, PIX_FMT_GRAY8, 25, 300000, 1,
                         0, 0),
            1);
  EXPECT_EQ(sink->GetPixelFormat(), PIX_FMT_YUV420P);
  StreamInfo info;
  sink->GetStreamInfo(&info);
  EXPECT_EQ(info.pixelFormat, PIX_FMT_GRAY8);
  EXPECT_EQ(info.gray, 1);
  EXPECT_EQ(info.pictureSize, 320 * 240);
  EXPECT_EQ(info.codecId, 13);
  EXPECT_EQ(info.frameRate, 25);
  EXPECT_EQ(info.bitRate, 300000);
  EXPECT_EQ(sink->Close(), 1);
  EXPECT_EQ(sink->Close(), 1);
  sink->Release();
}

class RecordingGrabber : public IGrabberCallBack {
 public:
  std::vector<int> ids;
  int OnBuffer(int id, double, unsigned char*, long, int, int, PixelFormat) override {
    ids.push_back(id);
    return 1;
  }
};

TEST(SinkContractTest, UncreatedSinkCountsAndForwardsWithItsOwnId) {
  CSorvoSinkFF* sink = new CSorvoSinkFF();
  RecordingGrabber grabber;
  sink->SetGrabberCallBack(&grabber);
  std::vector<unsigned char> picture(320 * 240 * 3);
  EXPECT_EQ(sink->OnBuffer(7, 0.0, picture.data(), picture.size(), 320, 240, PIX_FMT_BGR24), 1);
  sink->SetGrabberCallBack(nullptr);
  sink->OnBuffer(7, 0.0, picture.data(), picture.size(), 320, 240, PIX_FMT_BGR24);
  ASSERT_EQ(grabber.ids.size(), 1u);
  EXPECT_EQ(grabber.ids[0], 0);  // the sink's id, not the incoming one
  StreamInfo info;
  sink->GetStreamInfo(&info);
  EXPECT_EQ(info.framesIn, 2);
  EXPECT_EQ(info.bytesIn, 2 * 320 * 240 * 3);
  sink->Release();
}

}  // namespace
