// A host that writes its pictures straight into a sink's lent buffers gets what OnBuffer
// gives it with a copy: the same packets, the same forwarded picture, the same counting,
// grey and turning; and a lent buffer stays the host's to write until it comes back,
// whatever the sink does meanwhile (AddressSanitizer catches a buffer freed under it).
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/CodecTestSupport.h"
#include "common/CounterPicture.h"
#include "common/LogCapture.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "sink/SinkTestSupport.h"

namespace {

using namespace sorvo::test;

constexpr int kW = 176;
constexpr int kH = 144;

// Keeps a copy of every picture a sink forwards.
class Forwarded : public IGrabberCallBack {
 public:
  int OnBuffer(int id, double, unsigned char* data, long length, int, int, PixelFormat) override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ids.push_back(id);
    m_pictures.emplace_back(data, data + length);
    return 1;
  }
  std::vector<std::vector<uint8_t>> Pictures() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_pictures;
  }
  std::vector<int> Ids() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_ids;
  }

 private:
  std::mutex m_lock;
  std::vector<std::vector<uint8_t>> m_pictures;  // guarded by m_lock
  std::vector<int> m_ids;                        // guarded by m_lock
};

// A packed BGR24 picture with content that moves with `frame`, every row different.
std::vector<uint8_t> MovingBgrPicture(int frame) {
  std::vector<uint8_t> picture(static_cast<size_t>(kW) * kH * 3);
  for (int row = 0; row < kH; ++row)
    for (int col = 0; col < kW * 3; ++col)
      picture[row * kW * 3 + col] = static_cast<uint8_t>(row * 3 + (col + frame * 5) % 61);
  return picture;
}

std::vector<uint8_t> Flipped(const std::vector<uint8_t>& picture, int rowBytes) {
  std::vector<uint8_t> flipped(picture.size());
  const size_t rows = picture.size() / rowBytes;
  for (size_t row = 0; row < rows; ++row)
    std::memcpy(&flipped[row * rowBytes], &picture[(rows - 1 - row) * rowBytes], rowBytes);
  return flipped;
}

int64_t FramesIn(ISorvoSink& sink) {
  StreamInfo info;
  sink.GetStreamInfo(&info);
  return info.framesIn;
}

// Lends a buffer, writes `picture` into it and returns it; ReturnBuffer's result, or -1
// when no buffer was lent.
int LendAndReturn(ISorvoSink& sink,
                  const std::vector<uint8_t>& picture,
                  double time,
                  PixelFormat format,
                  int width = kW,
                  int height = kH) {
  long capacity = 0;
  unsigned char* buffer = sink.LendBuffer(&capacity);
  if (buffer == nullptr || capacity < static_cast<long>(picture.size()))
    return -1;
  std::memcpy(buffer, picture.data(), picture.size());
  return sink.ReturnBuffer(buffer, 0, time, static_cast<long>(picture.size()), width, height,
                           format);
}

class SinkLendingTest : public ::testing::Test {
 protected:
  void SetUp() override { InitSorvo(); }

  CSorvoSinkFF* MakeSink(const std::string& name,
                         PixelFormat format,
                         int width = kW,
                         int height = kH) {
    auto* sink = new CSorvoSinkFF();
    EXPECT_EQ(sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), width, height, format, 25,
                           400000, 7, 0, 0),
              1);
    return sink;
  }

  TestAppDir dir;
};

TEST_F(SinkLendingTest, ALentPictureComesOutAsTheSamePictureHandedToOnBufferWould) {
  constexpr int kPictures = 30;
  CSorvoSinkFF* copied = MakeSink("copied", PIX_FMT_BGR24);
  CSorvoSinkFF* lent = MakeSink("lent", PIX_FMT_BGR24);
  PacketCollector copiedPackets, lentPackets;
  Forwarded copiedForward, lentForward;
  copied->SetEncodeDataOutputCB(&copiedPackets);
  lent->SetEncodeDataOutputCB(&lentPackets);
  copied->SetGrabberCallBack(&copiedForward);
  lent->SetGrabberCallBack(&lentForward);
  copied->SetFlipVertical(1);
  lent->SetFlipVertical(1);

  long capacity = 0;
  unsigned char* probe = lent->LendBuffer(&capacity);
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(capacity, kW * kH * 3);
  EXPECT_EQ(lent->ReturnBuffer(probe, 0, 0.0, 0, kW, kH, PIX_FMT_BGR24), 0);  // unused
  EXPECT_EQ(FramesIn(*lent), 0);

  for (int k = 0; k < kPictures; ++k) {
    std::vector<uint8_t> picture = MovingBgrPicture(k);
    copied->OnBuffer(0, k / 25.0, picture.data(), static_cast<long>(picture.size()), kW, kH,
                     PIX_FMT_BGR24);
    ASSERT_EQ(LendAndReturn(*lent, MovingBgrPicture(k), k / 25.0, PIX_FMT_BGR24), 1) << k;
    ASSERT_TRUE(copiedPackets.WaitFor(k + 1));
    ASSERT_TRUE(lentPackets.WaitFor(k + 1));
  }
  EXPECT_EQ(FramesIn(*lent), kPictures);

  const std::vector<SeenPacket> expected = copiedPackets.Packets();
  const std::vector<SeenPacket> got = lentPackets.Packets();
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].data, expected[i].data) << "packet " << i;
    EXPECT_EQ(got[i].pts, expected[i].pts) << "packet " << i;
  }
  // The target sees the turned picture, with the sink's own id.
  const std::vector<std::vector<uint8_t>> forwarded = lentForward.Pictures();
  ASSERT_EQ(forwarded.size(), static_cast<size_t>(kPictures));
  for (int k = 0; k < kPictures; ++k)
    EXPECT_EQ(forwarded[k], Flipped(MovingBgrPicture(k), kW * 3)) << k;
  EXPECT_EQ(lentForward.Ids(), std::vector<int>(kPictures, 7));
  EXPECT_EQ(forwarded, copiedForward.Pictures());
  copied->Release();
  lent->Release();
}

TEST_F(SinkLendingTest, ABufferLentAcrossCloseStaysTheHostsUntilItComesBack) {
  CSorvoSinkFF* sink = MakeSink("close", PIX_FMT_YUV420P);
  Forwarded forwarded;
  PacketCollector packets;
  sink->SetGrabberCallBack(&forwarded);
  sink->SetEncodeDataOutputCB(&packets);
  long capacity = 0;
  unsigned char* buffer = sink->LendBuffer(&capacity);
  ASSERT_NE(buffer, nullptr);
  ASSERT_EQ(capacity, kW * kH * 3 / 2);

  EXPECT_EQ(sink->Close(), 1);
  long none = -1;
  EXPECT_EQ(sink->LendBuffer(&none), nullptr);
  EXPECT_EQ(none, 0);
  // AddressSanitizer fails here if Close freed the lent buffer.
  std::memset(buffer, 0x55, capacity);
  EXPECT_EQ(sink->ReturnBuffer(buffer, 0, 0.0, capacity, kW, kH, PIX_FMT_YUV420P), 0);
  // As OnBuffer after Close: counted and forwarded, not encoded.
  EXPECT_EQ(FramesIn(*sink), 1);
  ASSERT_EQ(forwarded.Pictures().size(), 1u);
  EXPECT_EQ(forwarded.Pictures()[0], std::vector<uint8_t>(capacity, 0x55));
  EXPECT_EQ(sink->ReturnBuffer(buffer, 0, 0.0, capacity, kW, kH, PIX_FMT_YUV420P), 0);  // twice
  EXPECT_EQ(FramesIn(*sink), 1);

  // Created again, the sink lends from its new pool and records what comes back.
  ASSERT_EQ(sink->Create("close", dir.File("again.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25,
                         400000, 7, 0, 0),
            1);
  EXPECT_EQ(LendAndReturn(*sink, CounterPicture(kW, kH, 0, 3), 0.0, PIX_FMT_YUV420P), 1);
  ASSERT_TRUE(packets.WaitFor(1));
  EXPECT_EQ(DecodedCounters(packets.Packets()), std::vector<int>{3});
  sink->Release();
}

// A sink that says when it is destroyed.
class WatchedSink : public CSorvoSinkFF {
 public:
  explicit WatchedSink(bool* gone) : m_gone(gone) {}
  ~WatchedSink() override { *m_gone = true; }

 private:
  bool* m_gone;
};

TEST_F(SinkLendingTest, TheSinkOutlivesItsLastReleaseWhileOneOfItsBuffersIsLent) {
  bool gone = false;
  auto* sink = new WatchedSink(&gone);
  ASSERT_EQ(sink->Create("kept", dir.File("kept.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 400000,
                         0, 0, 0),
            1);
  long capacity = 0;
  unsigned char* buffer = sink->LendBuffer(&capacity);
  ASSERT_NE(buffer, nullptr);
  sink->Release();  // the host's only reference
  EXPECT_FALSE(gone);
  std::vector<uint8_t> picture = CounterPicture(kW, kH, 0, 1);
  std::memcpy(buffer, picture.data(), picture.size());
  sink->ReturnBuffer(buffer, 0, 0.0, capacity, kW, kH, PIX_FMT_YUV420P);
  EXPECT_TRUE(gone);  // the loan's reference was the last
}

TEST_F(SinkLendingTest, LendingNeverWaitsForTheWorkerAndGivesUpTheOldestWaitingPicture) {
  HeldSink sink(0);
  ASSERT_EQ(sink.Create("held", dir.File("held.mp4").c_str(), kW, kH, PIX_FMT_YUV420P, 25, 400000,
                        0, 0, 0),
            1);
  PacketCollector packets;
  sink.SetEncodeDataOutputCB(&packets);
  ASSERT_EQ(LendAndReturn(sink, CounterPicture(kW, kH, 0, 0), 0.0, PIX_FMT_YUV420P), 1);
  ASSERT_TRUE(sink.WaitUntilHeld());  // the worker keeps picture 0's buffer

  for (int k = 1; k <= 4; ++k)  // the four other buffers wait
    ASSERT_EQ(LendAndReturn(sink, CounterPicture(kW, kH, 0, k), k / 25.0, PIX_FMT_YUV420P), 1);
  std::vector<unsigned char*> lent;
  for (int k = 5; k <= 8; ++k) {  // each loan takes the oldest waiting picture's buffer
    long capacity = 0;
    lent.push_back(sink.LendBuffer(&capacity));
    ASSERT_NE(lent.back(), nullptr) << k;
  }
  long capacity = -1;
  EXPECT_EQ(sink.LendBuffer(&capacity), nullptr);  // nothing to take and nothing waited for
  EXPECT_EQ(capacity, 0);
  std::vector<uint8_t> nine = CounterPicture(kW, kH, 0, 9);
  EXPECT_EQ(sink.OnBuffer(0, 9 / 25.0, nine.data(), static_cast<long>(nine.size()), kW, kH,
                          PIX_FMT_YUV420P),
            1);  // returns at once; no buffer takes the picture
  for (int k = 5; k <= 8; ++k) {
    std::vector<uint8_t> picture = CounterPicture(kW, kH, 0, k);
    std::memcpy(lent[k - 5], picture.data(), picture.size());
    EXPECT_EQ(sink.ReturnBuffer(lent[k - 5], 0, k / 25.0, static_cast<long>(picture.size()), kW, kH,
                                PIX_FMT_YUV420P),
              1);
  }
  sink.LetGo();
  // Slots 1 to 4, whose pictures gave way, repeat picture 0: nine packets in all.
  ASSERT_TRUE(packets.WaitFor(9));
  sink.Close();
  EXPECT_EQ(DecodedCounters(packets.Packets()), (std::vector<int>{0, 5, 6, 7, 8}));
  EXPECT_EQ(FramesIn(sink), 10);
}

TEST_F(SinkLendingTest, AGreySinkLendsWholePicturesAndKeepsTheirColourNeutral) {
  // Odd sizes, so that a plane laid out at the wrong offset shows.
  constexpr int kGreyWidth = 161;
  constexpr int kGreyHeight = 121;
  constexpr int kPictures = 10;
  CSorvoSinkFF* sink = MakeSink("grey", PIX_FMT_GRAY8, kGreyWidth, kGreyHeight);
  PacketCollector packets;
  sink->SetEncodeDataOutputCB(&packets);
  ASSERT_EQ(sink->StartRecord(), 1);
  const long whole = sorvo::PictureSize(PIX_FMT_YUV420P, kGreyWidth, kGreyHeight);
  for (int k = 0; k < kPictures; ++k) {
    long capacity = 0;
    unsigned char* buffer = sink->LendBuffer(&capacity);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(capacity, whole);
    // Every other picture comes back whole, with colour the sink must not record.
    std::memset(buffer, 240, capacity);
    const std::vector<uint8_t> luma = GreyPicture(kGreyWidth, kGreyHeight, k);
    std::memcpy(buffer, luma.data(), luma.size());
    const long length = k % 2 == 0 ? whole : static_cast<long>(luma.size());
    ASSERT_EQ(
        sink->ReturnBuffer(buffer, 0, k / 25.0, length, kGreyWidth, kGreyHeight, PIX_FMT_GRAY8), 1);
    ASSERT_TRUE(packets.WaitFor(k + 1));
  }
  sink->Close();
  sink->Release();

  const ProbedFile file = ProbeFile(dir.File("grey.mp4"), /*keepPictures=*/true);
  ASSERT_EQ(file.streams.size(), 1u);
  const std::vector<Picture>& pictures = file.streams[0].pictures;
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kPictures));
  for (int k = 0; k < kPictures; ++k) {
    const std::vector<uint8_t> luma = GreyPicture(kGreyWidth, kGreyHeight, k);
    long difference = 0;
    for (size_t at = 0; at < luma.size(); ++at)
      difference += std::abs(static_cast<int>(pictures[k].y[at]) - luma[at]);
    EXPECT_LT(difference / static_cast<long>(luma.size()), 4) << k;
    for (const std::vector<uint8_t>* plane : {&pictures[k].u, &pictures[k].v})
      for (uint8_t sample : *plane)
        ASSERT_NEAR(sample, 128, 2) << "picture " << k;
  }
}

TEST_F(SinkLendingTest, WhatCannotBeRecordedIsHandedBackAndSaidOnce) {
  LogCapture log;
  CSorvoSinkFF unmade;
  long capacity = -1;
  EXPECT_EQ(unmade.LendBuffer(&capacity), nullptr);  // before Create
  EXPECT_EQ(capacity, 0);

  CSorvoSinkFF* sink = MakeSink("refuse", PIX_FMT_BGR24);
  Forwarded forwarded;
  sink->SetGrabberCallBack(&forwarded);
  const long whole = kW * kH * 3;
  std::vector<uint8_t> own(whole, 1);
  EXPECT_EQ(sink->ReturnBuffer(own.data(), 0, 0.0, whole, kW, kH, PIX_FMT_BGR24), 0);
  EXPECT_EQ(FramesIn(*sink), 0);  // not the sink's buffer: nothing happened
  EXPECT_TRUE(forwarded.Pictures().empty());

  unsigned char* buffer = sink->LendBuffer(&capacity);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(sink->ReturnBuffer(buffer, 0, 0.0, whole - 1, kW, kH, PIX_FMT_BGR24), 0);
  buffer = sink->LendBuffer(&capacity);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(sink->ReturnBuffer(buffer, 0, 0.0, whole + 1, kW, kH, PIX_FMT_BGR24), 0);
  EXPECT_EQ(FramesIn(*sink), 2);
  // The short picture is forwarded as OnBuffer would; the long one would be read past the
  // buffer's end, so it is not.
  ASSERT_EQ(forwarded.Pictures().size(), 1u);
  EXPECT_EQ(forwarded.Pictures()[0].size(), static_cast<size_t>(whole - 1));

  int said = 0;
  for (const LogLine& line : log.Lines())
    said += line.text.find("is not recorded") != std::string::npos ? 1 : 0;
  EXPECT_EQ(said, 1);
  // Every refused buffer went back: all five can be lent again.
  std::vector<unsigned char*> all;
  for (int i = 0; i < 5; ++i) {
    all.push_back(sink->LendBuffer(&capacity));
    ASSERT_NE(all.back(), nullptr) << i;
  }
  for (unsigned char* each : all)
    sink->ReturnBuffer(each, 0, 0.0, 0, kW, kH, PIX_FMT_BGR24);
  sink->Release();
}

}  // namespace
