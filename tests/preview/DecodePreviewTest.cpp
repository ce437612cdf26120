#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "EncodedClip.h"
#include "common/LogCapture.h"
#include "host/PopupDrawer.h"
#include "preview/CDecodePreview.h"
#include "preview/PreviewPlacement.h"

namespace {

using sorvo::test::Bytes;
using sorvo::test::MeanAbsDiff;

struct DrawCall {
  std::string channel;
  double time;
  Bytes bytes;
  int width;
  int height;
  PixelFormat format;
  int reserved1;
  int reserved2;
  std::string thread;
};

// What the drawers made by the test factory saw; shared by the test and its drawers.
struct DrawerLog {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> titles;          // guarded by lock
  std::vector<std::pair<int, int>> places;  // guarded by lock
  std::vector<DrawCall> draws;              // guarded by lock
  int drawsStarted = 0;                     // guarded by lock
  int released = 0;                         // guarded by lock
  bool gateOpen = true;                     // guarded by lock
  bool refuseCreation = false;              // set before the preview starts

  template <class Predicate>
  void WaitUntil(Predicate done) {
    std::unique_lock<std::mutex> hold(lock);
    // The timeout only stops a broken run.
    changed.wait_for(hold, std::chrono::seconds(20), done);
  }
  void SetGate(bool open) {
    std::lock_guard<std::mutex> hold(lock);
    gateOpen = open;
    changed.notify_all();
  }
};

DrawerLog* g_log = nullptr;

class CapturingDrawer : public IPopupDrawer {
 public:
  long QueryInterface(const GUID&, void**) override { return 1; }
  long AddRef() override { return ++m_refs; }
  long Release() override {
    const long left = --m_refs;
    if (left == 0) {
      std::lock_guard<std::mutex> hold(g_log->lock);
      ++g_log->released;
      delete this;
    }
    return left;
  }
  int Draw(const char* channel,
           double time,
           unsigned char* data,
           long size,
           int width,
           int height,
           PixelFormat format,
           int reserved1,
           int reserved2) override {
    char thread[16] = {};
    pthread_getname_np(pthread_self(), thread, sizeof(thread));
    std::unique_lock<std::mutex> hold(g_log->lock);
    ++g_log->drawsStarted;
    g_log->changed.notify_all();
    g_log->changed.wait(hold, [] { return g_log->gateOpen; });
    g_log->draws.push_back({channel, time, Bytes(data, data + size), width, height, format,
                            reserved1, reserved2, thread});
    g_log->changed.notify_all();
    return 1;
  }

 private:
  std::atomic<long> m_refs{1};
};

int CapturingFactory(const char* title, IPopupDrawer** drawer, int x, int y) {
  std::lock_guard<std::mutex> hold(g_log->lock);
  g_log->titles.push_back(title);
  g_log->places.emplace_back(x, y);
  *drawer = g_log->refuseCreation ? nullptr : new CapturingDrawer;
  return *drawer != nullptr ? 1 : 0;
}

int PushPacket(CDecodePreview& preview, const Bytes& packet) {
  // As the recording sink feeds its preview.
  return preview.Push(0, const_cast<unsigned char*>(packet.data()), 0, 0, PIX_FMT_NONE, 0,
                      static_cast<long>(packet.size()));
}

class DecodePreviewTest : public testing::Test {
 protected:
  DecodePreviewTest() {
    g_log = &m_log;
    sorvo::SetPopupDrawerFactoryForTesting(&CapturingFactory);
  }
  ~DecodePreviewTest() override {
    sorvo::SetPopupDrawerFactoryForTesting(nullptr);
    g_log = nullptr;
  }

  size_t Draws() {
    std::lock_guard<std::mutex> hold(m_log.lock);
    return m_log.draws.size();
  }

  DrawerLog m_log;
};

TEST_F(DecodePreviewTest, AWindowOpensWhereTheHostPlacedItsSinksPreview) {
  SorvoSetPreviewPlacement("placed", 10, 20, 300, 200);
  SorvoSetPreviewPlacement("moved", 1, 2, 0, 0);
  SorvoSetPreviewPlacement("moved", 30, 40, 0, 0);  // the later place holds
  {
    CDecodePreview placed, moved, other;
    placed.StartPreview("placed", 64 * 48 * 3);
    moved.StartPreview("moved", 64 * 48 * 3);
    other.StartPreview("other", 64 * 48 * 3);
  }
  SorvoSetPreviewPlacement(nullptr, 0, 0, 0, 0);
  {
    CDecodePreview forgotten;
    forgotten.StartPreview("placed", 64 * 48 * 3);
  }
  EXPECT_EQ(m_log.places,
            (std::vector<std::pair<int, int>>{{10, 20}, {30, 40}, {-1, -1}, {-1, -1}}));
}

TEST_F(DecodePreviewTest, EveryPacketIsDecodedAndDrawnUnderTheStreamsNames) {
  auto clip = sorvo::test::EncodeGradientClip(64, 48, 6);
  {
    CDecodePreview preview;
    ASSERT_EQ(preview.StartPreview("cam1", 64 * 48 * 3), 1);
    EXPECT_EQ(preview.StartPreview("other", 64 * 48 * 3), 1);  // changes nothing
    for (size_t i = 0; i < clip.packets.size(); ++i) {
      ASSERT_EQ(PushPacket(preview, clip.packets[i]), 1);
      m_log.WaitUntil([&] { return m_log.draws.size() > i; });
    }
  }
  EXPECT_EQ(m_log.titles, std::vector<std::string>{"cam1 -- 本地解码预览"});
  EXPECT_EQ(m_log.places, (std::vector<std::pair<int, int>>{{-1, -1}}));
  EXPECT_EQ(m_log.released, 1);
  ASSERT_EQ(m_log.draws.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    const DrawCall& draw = m_log.draws[i];
    EXPECT_EQ(draw.channel, "DecodePreview cam1");
    EXPECT_EQ(draw.thread, "DecodePreview c");  // the first 15 bytes of the worker's name
    EXPECT_EQ(draw.time, 0.0);
    EXPECT_EQ(draw.width, 64);
    EXPECT_EQ(draw.height, 48);
    EXPECT_EQ(draw.format, PIX_FMT_YUV420P);
    EXPECT_EQ(draw.reserved1, 0);
    EXPECT_EQ(draw.reserved2, 0);
    ASSERT_EQ(draw.bytes.size(), 64u * 48 * 3 / 2);
    EXPECT_LT(MeanAbsDiff(draw.bytes.data(), clip.pictures[i].data(), draw.bytes.size()), 3.0);
  }
}

TEST_F(DecodePreviewTest, ASlowWindowLosesTheOldestPacketsWhileTheSinkGoesOn) {
  auto clip = sorvo::test::EncodeGradientClip(64, 48, 10);
  CDecodePreview preview;
  m_log.SetGate(false);
  ASSERT_EQ(preview.StartPreview("cam2", 64 * 48 * 3 / 2), 1);
  ASSERT_EQ(PushPacket(preview, clip.packets[0]), 1);
  m_log.WaitUntil([&] { return m_log.drawsStarted == 1; });  // the worker is stuck drawing

  // Nine more packets for four free buffers: each Push returns at once, packets 1 to 5 give way.
  for (size_t i = 1; i < 10; ++i)
    EXPECT_EQ(PushPacket(preview, clip.packets[i]), 1);
  m_log.SetGate(true);
  m_log.WaitUntil([&] { return m_log.draws.size() >= 5; });
  preview.PostStop();
  EXPECT_EQ(preview.WaitThread(-1), 0u);
  EXPECT_EQ(Draws(), 5u);  // packet 0, then 6 to 9
}

TEST_F(DecodePreviewTest, APreviewNeverStartedStopsAndReleasesNothing) {
  { CDecodePreview preview; }
  EXPECT_TRUE(m_log.titles.empty());
  EXPECT_EQ(m_log.released, 0);
}

TEST_F(DecodePreviewTest, WithoutADrawerThePreviewStillDecodesQuietly) {
  m_log.refuseCreation = true;
  auto clip = sorvo::test::EncodeGradientClip(64, 48, 3);
  sorvo::test::LogCapture capture;
  {
    CDecodePreview preview;
    ASSERT_EQ(preview.StartPreview("cam3", 64 * 48 * 3), 1);
    for (const Bytes& packet : clip.packets)
      EXPECT_EQ(PushPacket(preview, packet), 1);
    preview.PostStop();
    EXPECT_EQ(preview.WaitThread(-1), 0u);
  }
  EXPECT_EQ(m_log.titles.size(), 1u);
  EXPECT_EQ(Draws(), 0u);
  bool decoded = false;
  for (const auto& line : capture.Lines())
    decoded |= line.text == "FFDecode:解码开始得到第一帧图像,";
  EXPECT_TRUE(decoded);
}

}  // namespace
