#include "codec/EncodeThreads.h"

#include <algorithm>
#include <thread>

#include "host/Setting.h"
#include "support/LogF.h"

namespace sorvo {
namespace {

// libavcodec's slice threads stop at 16.
constexpr int kMostThreads = 16;

}  // namespace

int ChooseEncodeThreads(int width, int height, int setting, int cores) {
  const long long pixels = static_cast<long long>(width) * height;
  int threads = setting;
  if (threads <= 0) {
    if (pixels <= kOneThreadPixels)
      return 1;
    threads =
        std::min<long long>(std::max(1, cores), (pixels + kOneThreadPixels - 1) / kOneThreadPixels);
  }
  // A slice is at least one row of macroblocks.
  return std::max(1, std::min({threads, kMostThreads, (height + 15) / 16}));
}

int EncodeThreadsFor(int width, int height, const std::string& label) {
  const int setting = CSetting("SettingVideo.ini").GetInt("Video", "EncodeThreads", 0, 1);
  if (setting < 0)
    LogWarnF(
        "%s: [Video] EncodeThreads=%d in SettingVideo.ini is not a number of threads; the "
        "size decides (0), as without it",
        label.c_str(), setting);
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return ChooseEncodeThreads(width, height, std::max(0, setting), cores);
}

}  // namespace sorvo
