#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}

#include "codec/FFDeleters.h"
#include "host/MediaBase.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

// A YUV 4:2:0 picture packed with alignment 1 over `buffer`, followed by guard bytes.
sorvo::FramePtr LayOver(std::vector<uint8_t>& buffer, int width, int height) {
  const int bytes = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1);
  buffer.assign(bytes + 256, kGuard);
  sorvo::FramePtr frame(av_frame_alloc());
  av_image_fill_arrays(frame->data, frame->linesize, buffer.data(), AV_PIX_FMT_YUV420P, width,
                       height, 1);
  return frame;
}

TEST(MediaBaseTest, ConvertsOddSizedPackedPicturesInsideTheirPlanes) {
  struct Case {
    PixelFormat format;
    int bytesPerPixel;
  };
  for (Case c : {Case{PIX_FMT_BGR24, 3}, Case{PIX_FMT_RGB24, 3}, Case{PIX_FMT_BGRA, 4}}) {
    for (int width : {101, 33, 640}) {
      const int height = width == 640 ? 480 : 51;
      // Red above, blue below, in each channel order.
      std::vector<uint8_t> packed(width * height * c.bytesPerPixel, 0);
      for (int i = 0; i < width * height; ++i) {
        uint8_t* p = &packed[i * c.bytesPerPixel];
        const bool red = i < width * (height / 2 + 1);
        p[(c.format == PIX_FMT_RGB24) == red ? 0 : 2] = 255;
        if (c.bytesPerPixel == 4)
          p[3] = 255;
      }
      std::vector<uint8_t> yuv;
      sorvo::FramePtr frame = LayOver(yuv, width, height);
      ConvertRGBToYV420P(packed.data(), width, height, c.format, frame.get());
      const int bytes = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1);
      for (size_t i = bytes; i < yuv.size(); ++i)
        ASSERT_EQ(yuv[i], kGuard) << c.format << " " << width << " byte " << i - bytes;
      const int chroma = ((width + 1) / 2) * ((height + 1) / 2);
      const uint8_t* y = yuv.data();
      const uint8_t* u = y + width * height;
      const uint8_t* v = u + chroma;
      // BT.601 limited range: red Y 81, U 90, V 240; blue Y 41, U 240, V 110. The first
      // samples of each plane stay red and the last ones blue, up to the very last.
      for (int i : {0, 1, 7, 15}) {
        EXPECT_NEAR(y[i], 81, 2) << c.format << " " << width << " at " << i;
        EXPECT_NEAR(u[i], 90, 2) << c.format << " " << width << " at " << i;
        EXPECT_NEAR(v[i], 240, 2) << c.format << " " << width << " at " << i;
      }
      EXPECT_NEAR(y[width * height - 1], 41, 2) << c.format << " " << width;
      EXPECT_NEAR(u[chroma - 1], 240, 2) << c.format << " " << width;
      EXPECT_NEAR(v[chroma - 1], 110, 2) << c.format << " " << width;
    }
  }
}

// A packed picture whose last byte is the last byte before an unreadable page, so that any
// read past the picture ends the test program.
class GuardedPicture {
 public:
  explicit GuardedPicture(size_t bytes) : m_page(sysconf(_SC_PAGESIZE)) {
    m_span = (bytes + m_page - 1) / m_page * m_page;
    void* map =
        mmap(nullptr, m_span + m_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
      return;
    m_base = static_cast<uint8_t*>(map);
    mprotect(m_base + m_span, m_page, PROT_NONE);
    m_data = m_base + m_span - bytes;
  }
  ~GuardedPicture() {
    if (m_base)
      munmap(m_base, m_span + m_page);
  }
  uint8_t* data() const { return m_data; }

 private:
  size_t m_page;
  size_t m_span = 0;
  uint8_t* m_base = nullptr;
  uint8_t* m_data = nullptr;
};

TEST(MediaBaseTest, ReadsNothingPastTheEndOfThePicture) {
  struct Case {
    PixelFormat format;
    int bytesPerPixel;
  };
  for (Case c : {Case{PIX_FMT_BGR24, 3}, Case{PIX_FMT_RGB24, 3}, Case{PIX_FMT_BGRA, 4}}) {
    for (auto [width, height] : {std::pair{101, 51},
                                 {33, 17},
                                 {641, 481},
                                 {1280, 720},
                                 {176, 144},
                                 {3, 300},
                                 {1, 1},
                                 {2, 2}}) {
      GuardedPicture picture(static_cast<size_t>(width) * height * c.bytesPerPixel);
      ASSERT_NE(picture.data(), nullptr);
      std::memset(picture.data(), 0x80, static_cast<size_t>(width) * height * c.bytesPerPixel);
      std::vector<uint8_t> yuv;
      sorvo::FramePtr frame = LayOver(yuv, width, height);
      ConvertRGBToYV420P(picture.data(), width, height, c.format, frame.get());
      const int bytes = av_image_get_buffer_size(AV_PIX_FMT_YUV420P, width, height, 1);
      for (size_t i = bytes; i < yuv.size(); ++i)
        ASSERT_EQ(yuv[i], kGuard) << width;
      // Mid grey: Y 126 in the limited range, no colour.
      EXPECT_NEAR(yuv[bytes - 1], 128, 2) << c.format << " " << width << "x" << height;
      EXPECT_NEAR(yuv[width * height - 1], 126, 2) << c.format << " " << width << "x" << height;
    }
  }
}

TEST(MediaBaseTest, TheLastColumnOfAnOddWidthTakesNoColourFromTheNextRow) {
  const int width = 101, height = 8;
  // Every row: one red pixel, then blue.
  std::vector<uint8_t> packed(width * height * 3);
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      uint8_t* p = &packed[(row * width + col) * 3];
      p[0] = col == 0 ? 0 : 255;  // BGR24
      p[1] = 0;
      p[2] = col == 0 ? 255 : 0;
    }
  }
  std::vector<uint8_t> yuv;
  sorvo::FramePtr frame = LayOver(yuv, width, height);
  ConvertRGBToYV420P(packed.data(), width, height, PIX_FMT_BGR24, frame.get());
  const int chromaWidth = (width + 1) / 2;
  for (int row = 0; row < height / 2; ++row) {
    // Blue: U 240, V 110.
    EXPECT_NEAR(frame->data[1][row * frame->linesize[1] + chromaWidth - 1], 240, 3) << row;
    EXPECT_NEAR(frame->data[2][row * frame->linesize[2] + chromaWidth - 1], 110, 3) << row;
  }
}

TEST(MediaBaseTest, AFormatWithoutAnEquivalentLeavesThePictureAlone) {
  std::vector<uint8_t> yuv;
  sorvo::FramePtr frame = LayOver(yuv, 64, 48);
  std::vector<uint8_t> packed(64 * 48 * 4, 0x10);
  ConvertRGBToYV420P(packed.data(), 64, 48, static_cast<PixelFormat>(15), frame.get());
  ConvertRGBToYV420P(nullptr, 64, 48, PIX_FMT_BGR24, frame.get());
  for (uint8_t b : yuv)
    ASSERT_EQ(b, kGuard);
}

}  // namespace
