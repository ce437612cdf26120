// Cameras deliver on threads of their own, and audio arrives on another, while the host
// switches cameras, stops everything and sets the director up again: run under
// ThreadSanitizer and AddressSanitizer, this catches a picture in flight that touches the
// fitting state, the last picture or a director sink being released.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "MuxerTestSupport.h"
#include "common/CodecTestSupport.h"
#include "common/TestAppDir.h"
#include "muxing/SorvoEntry.h"
#include "muxing/SorvoMuxer.h"

namespace {

using sorvo::test::BorrowedPacket;
using sorvo::test::TestAppDir;

// Checks every picture a director receives against that director's own size.
class SizeCheck : public IGrabberCallBack {
 public:
  SizeCheck(int width, int height) : m_width(width), m_height(height) {}
  int OnBuffer(int /*id*/,
               double /*time*/,
               unsigned char* data,
               long length,
               int width,
               int height,
               PixelFormat format) override {
    pictures.fetch_add(1);
    if (width != m_width || height != m_height || format != PIX_FMT_YUV420P ||
        length != m_width * m_height * 3 / 2 || data == nullptr)
      wrong.fetch_add(1);
    return 1;
  }
  std::atomic<int> pictures{0};
  std::atomic<int> wrong{0};

 private:
  const int m_width, m_height;
};

struct Camera {
  int id;
  int width, height;
  PixelFormat format;
  CComPtr<CSorvoSinkFF> sink;
};

TEST(MuxerStressTest, CamerasDeliverWhileTheHostSwitchesStopsAndSetsUpAgain) {
  TestAppDir dir;
  InitSorvo();
  sorvo::SetDirectorPortForTesting(0);
  SorvoMuxer muxer;

  std::vector<Camera> cameras = {{0, 112, 80, PIX_FMT_BGR24, {}},
                                 {1, 128, 96, PIX_FMT_YUV420P, {}},
                                 {4, 96, 96, PIX_FMT_BGRA, {}}};
  for (Camera& camera : cameras) {
    camera.sink.Attach(new CSorvoSinkFF());
    const std::string name = "cam" + std::to_string(camera.id);
    ASSERT_EQ(camera.sink->Create(name.c_str(), dir.File(name + ".mp4").c_str(), camera.width,
                                  camera.height, camera.format, 25, 200000, camera.id, 0, 0),
              1);
    camera.sink->SetEncodeDataOutputCB(&muxer);
    muxer.SetSink(camera.id, camera.sink);
  }

  std::atomic<bool> running{true};
  std::vector<std::thread> threads;
  for (Camera& camera : cameras) {
    threads.emplace_back([&running, &camera] {
      std::vector<uint8_t> picture =
          camera.format == PIX_FMT_YUV420P
              ? sorvo::test::MovingYuvPicture(camera.width, camera.height, camera.id)
              : sorvo::test::SolidPackedPicture(camera.format, camera.width, camera.height,
                                                static_cast<uint8_t>(60 * camera.id), 90, 200);
      for (int i = 0; running.load(); ++i) {
        camera.sink->OnBuffer(0, i / 25.0, picture.data(), static_cast<long>(picture.size()),
                              camera.width, camera.height, camera.format);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  threads.emplace_back([&running, &muxer] {
    std::vector<uint8_t> bytes(400, 0x3C);
    while (running.load()) {
      BorrowedPacket packet(bytes, 1);
      muxer.OnEncodeData(kAudioDataTag, packet.get());
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });

  std::vector<std::unique_ptr<SizeCheck>> checks;
  const int sizes[][2] = {{160, 120}, {176, 144}, {128, 128}};
  for (int cycle = 0; cycle < 24; ++cycle) {
    const int width = sizes[cycle % 3][0], height = sizes[cycle % 3][1];
    const EnumZoomOption zoom = cycle % 2 == 0 ? ZOOM_LETTERBOX : ZOOM_STRETCH;
    // Some cycles replace the director without stopping first.
    const int directors = cycle % 3 == 2 ? 2 : 1;
    for (int d = 0; d < directors; ++d) {
      ASSERT_EQ(muxer.CreateSingleMux("director", dir.File("director.mp4").c_str(), width, height,
                                      PIX_FMT_YUV420P, 25, 200000, 0, zoom, 0x00FF0000),
                1u);
      checks.push_back(std::make_unique<SizeCheck>(width, height));
      muxer.GetDirector()->SetGrabberCallBack(checks.back().get());
    }
    for (Camera& camera : cameras)
      ASSERT_EQ(muxer.AddSingleMux(CComPtr<ISorvoSink>(camera.sink.get())), 1u);
    if (cycle % 2 == 1)
      muxer.StartMultMux();
    for (int step = 0; step < 4; ++step) {
      muxer.SetCurSingleMux(static_cast<EnumCameraType>(cameras[(cycle + step) % 3].id));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(muxer.StopAllMux(), 1u);
  }

  running.store(false);
  for (std::thread& thread : threads)
    thread.join();
  for (Camera& camera : cameras) {
    camera.sink->SetEncodeDataOutputCB(nullptr);
    camera.sink->Close();
  }

  int pictures = 0;
  for (const auto& check : checks) {
    EXPECT_EQ(check->wrong.load(), 0);
    pictures += check->pictures.load();
  }
  EXPECT_GT(pictures, 0);
  sorvo::SetDirectorPortForTesting(-1);
}

}  // namespace
