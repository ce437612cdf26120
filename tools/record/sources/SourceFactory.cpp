#include "tools/record/sources/SourceFactory.h"


#include "tools/common/PictureSizeText.h"
#include "tools/record/sources/MediaCamera.h"
#include "tools/record/sources/MediaSound.h"
#include "tools/record/sources/SyntheticCamera.h"
#include "tools/record/sources/ToneSource.h"

namespace sorvo::tools {
namespace {

constexpr int kSmallestSide = 100;
constexpr int kLargestSide = 5000;

bool PixelFormatByName(const std::string& name, PixelFormat* format) {
  static const struct {
    const char* name;
    PixelFormat format;
  } kNames[] = {{"bgr24", PIX_FMT_BGR24},     {"rgb24", PIX_FMT_RGB24}, {"bgra", PIX_FMT_BGRA},
                {"yuv420p", PIX_FMT_YUV420P}, {"gray", PIX_FMT_GRAY8}};
  for (const auto& entry : kNames) {
    if (name == entry.name) {
      *format = entry.format;
      return true;
    }
  }
  return false;
}

std::unique_ptr<MediaSource> OpenTestCamera(const std::string& name, int number, int fps,
                                            std::string* error) {
  // test, test:WxH or test:WxH:FORMAT
  int width = 640;
  int height = 480;
  PixelFormat format = PIX_FMT_BGR24;
  const size_t sizeAt = name.find(':');
  if (sizeAt != std::string::npos) {
    const size_t formatAt = name.find(':', sizeAt + 1);
    const std::string size = name.substr(sizeAt + 1, formatAt - sizeAt - 1);
    if (!ParsePictureSize(size, &width, &height)) {
      *error = "a test camera is written test, test:WxH or test:WxH:FORMAT";
      return nullptr;
    }
    const std::string formatName =
        formatAt == std::string::npos ? "bgr24" : name.substr(formatAt + 1);
    if (!PixelFormatByName(formatName, &format)) {
      *error = "unknown picture format \"" + formatName +
               "\"; use bgr24, rgb24, bgra, yuv420p or gray";
      return nullptr;
    }
  }
  return std::make_unique<SyntheticCamera>(number, width, height, format, fps);
}

}  // namespace

std::unique_ptr<MediaSource> OpenCamera(const std::string& name, int number, int fps,
                                        std::string* error) {
  std::unique_ptr<MediaSource> camera;
  if (name == "test" || name.rfind("test:", 0) == 0)
    camera = OpenTestCamera(name, number, fps, error);
  else
    camera = MediaCamera::Open(name, error);
  if (!camera) return nullptr;
  if (camera->width() < kSmallestSide || camera->height() < kSmallestSide ||
      camera->width() > kLargestSide || camera->height() > kLargestSide) {
    *error = "its pictures are " + std::to_string(camera->width()) + "x" +
             std::to_string(camera->height()) + "; the recorder takes 100 to 5000 pixels each way";
    return nullptr;
  }
  return camera;
}

std::unique_ptr<MediaSource> OpenSound(const std::string& name, std::string* error) {
  error->clear();
  if (name == "none") return nullptr;
  if (name == "tone") return std::make_unique<ToneSource>();
  std::unique_ptr<MediaSound> sound = MediaSound::Open(name, error);
  return sound;
}

}  // namespace sorvo::tools
