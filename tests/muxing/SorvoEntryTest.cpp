#include <gtest/gtest.h>

#include <tuple>

#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/ISorvoSink.h"

namespace {

using sorvo::test::TestAppDir;

TEST(InitSorvoTest, SecondCallStartsNothingAgain) {
  EXPECT_EQ(InitSorvo(), 1);
  EXPECT_EQ(sorvo::InitSorvoStartCountForTesting(), 1);
  EXPECT_EQ(InitSorvo(), 1);
  EXPECT_EQ(sorvo::InitSorvoStartCountForTesting(), 1);
}

struct SinkArgs {
  int width = 320, height = 240, frameRate = 25, bitRate = 400000, port = 20000;
};

// CreateSorvo with one argument changed; returns its result and whether *out changed.
std::pair<unsigned, bool> TryCreate(const SinkArgs& args, const TestAppDir& dir) {
  VideoInfo info;
  InitVideoHeader(info, args.width, args.height, 3, args.frameRate);
  ISorvoSink* sentinel = reinterpret_cast<ISorvoSink*>(0x5a5a);
  ISorvoSink* out = sentinel;
  unsigned result =
      CreateSorvo("cam1", dir.File("cam1.mp4").c_str(), info, args.bitRate, args.port, &out, 0, 0);
  bool touched = out != sentinel;
  if (result == 1 && touched)
    out->Release();
  return {result, touched};
}

class CreateSorvoBoundsTest : public ::testing::TestWithParam<std::tuple<const char*, int, bool>> {
};

TEST_P(CreateSorvoBoundsTest, AcceptsTheLimitsAndRefusesOneStepBeyond) {
  TestAppDir dir;
  InitSorvo();
  const auto [field, value, accepted] = GetParam();
  SinkArgs args;
  const std::string name(field);
  if (name == "width")
    args.width = value;
  if (name == "height")
    args.height = value;
  if (name == "frameRate")
    args.frameRate = value;
  if (name == "bitRate")
    args.bitRate = value;
  if (name == "port")
    args.port = value;
  auto [result, touched] = TryCreate(args, dir);
  EXPECT_EQ(result, accepted ? 1u : 0u) << field << "=" << value;
  EXPECT_EQ(touched, accepted) << field << "=" << value;
}

INSTANTIATE_TEST_SUITE_P(Limits,
                         CreateSorvoBoundsTest,
                         ::testing::Values(std::make_tuple("width", 100, true),
                                           std::make_tuple("width", 99, false),
                                           std::make_tuple("width", 5000, true),
                                           std::make_tuple("width", 5001, false),
                                           std::make_tuple("height", 100, true),
                                           std::make_tuple("height", 99, false),
                                           std::make_tuple("height", 5000, true),
                                           std::make_tuple("height", 5001, false),
                                           std::make_tuple("frameRate", 1, true),
                                           std::make_tuple("frameRate", 0, false),
                                           std::make_tuple("frameRate", 35, true),
                                           std::make_tuple("frameRate", 36, false),
                                           std::make_tuple("bitRate", 101, true),
                                           std::make_tuple("bitRate", 100, false),
                                           std::make_tuple("bitRate", 134217727, true),
                                           std::make_tuple("bitRate", 134217728, false),
                                           std::make_tuple("port", 1025, true),
                                           std::make_tuple("port", 1024, false),
                                           std::make_tuple("port", 65534, true),
                                           std::make_tuple("port", 65535, false)));

TEST(CreateSorvoTest, NullArgumentsAndNullNameCreateNothing) {
  TestAppDir dir;
  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, 320, 240, 3, 25);
  ISorvoSink* out = nullptr;
  EXPECT_EQ(CreateSorvo("cam", nullptr, info, 400000, 20000, &out, 0, 0), 0u);
  EXPECT_EQ(CreateSorvo("cam", dir.File("a.mp4").c_str(), info, 400000, 20000, nullptr, 0, 0), 0u);
  // A null name fails inside the sink's Create; the sink is destroyed (ASan would report
  // a leak otherwise) and the out pointer stays null.
  EXPECT_EQ(CreateSorvo(nullptr, dir.File("a.mp4").c_str(), info, 400000, 20000, &out, 0, 0), 0u);
  EXPECT_EQ(out, nullptr);
}

TEST(CreateSorvoTest, ReturnsOneReferenceThatASingleReleaseEnds) {
  TestAppDir dir;
  InitSorvo();
  VideoInfo info;
  InitVideoHeader(info, 352, 288, 3, 25);
  ISorvoSink* sink = nullptr;
  ASSERT_EQ(CreateSorvo("cam1", dir.File("cam1.mp4").c_str(), info, 400000, 20000, &sink, 3, 0),
            1u);
  ASSERT_NE(sink, nullptr);
  EXPECT_EQ(sink->GetId(), 3);
  EXPECT_EQ(sink->GetWidth(), 352);
  EXPECT_EQ(sink->GetHeight(), 288);
  EXPECT_EQ(sink->GetPixelFormat(), PIX_FMT_BGR24);
  EXPECT_EQ(sink->GetName(), "cam1");
  EXPECT_EQ(sink->GetFilePath(), dir.File("cam1.mp4"));
  EXPECT_EQ(sink->AddRef(), 2);
  EXPECT_EQ(sink->Release(), 1);
  EXPECT_EQ(sink->Release(), 0);
}

TEST(InitVideoHeaderTest, BitmapHeaderAndTimePerFrame) {
  tagVIDEOINFOHEADER header{};
  header.dwBitRate = 77;
  header.bmiHeader.biSize = 40;
  EXPECT_EQ(InitVideoHeader(header, 720, 576, 3, 25), 1);
  EXPECT_EQ(header.AvgTimePerFrame, 400000);
  EXPECT_EQ(header.bmiHeader.biWidth, 720);
  EXPECT_EQ(header.bmiHeader.biHeight, 576);
  EXPECT_EQ(header.bmiHeader.biPlanes, 1);
  EXPECT_EQ(header.bmiHeader.biBitCount, 24);
  EXPECT_EQ(header.bmiHeader.biSizeImage, 720u * 576u * 3u);
  EXPECT_EQ(header.dwBitRate, 77u);         // untouched
  EXPECT_EQ(header.bmiHeader.biSize, 40u);  // untouched
  InitVideoHeader(header, 720, 576, 3, 0);
  EXPECT_EQ(header.AvgTimePerFrame, 400000);
  InitVideoHeader(header, 720, 576, 3, 30);
  EXPECT_EQ(header.AvgTimePerFrame, 333333);
}

TEST(InitVideoHeaderTest, RecordFormatFollowsTheDepth) {
  VideoInfo info;
  info.reserved = 42;
  InitVideoHeader(info, 640, 480, 2, 25);
  EXPECT_EQ(info.pixelFormat, PIX_FMT_BGR24);
  EXPECT_EQ(info.imageSize, 640 * 480 * 2);
  EXPECT_EQ(info.frameRate, 25);
  EXPECT_EQ(info.reserved, 42);
  InitVideoHeader(info, 640, 480, 1, 25);
  EXPECT_EQ(info.pixelFormat, PIX_FMT_GRAY8);
  InitVideoHeader(info, 640, 480, 4, 25);
  EXPECT_EQ(info.pixelFormat, PIX_FMT_BGRA);
  InitVideoHeader(info, 640, 480, 3, 25);
  EXPECT_EQ(info.pixelFormat, PIX_FMT_BGR24);
  VideoInfo fresh;
  EXPECT_EQ(fresh.pixelFormat, -1);
  EXPECT_EQ(fresh.width, 0);
}

}  // namespace
