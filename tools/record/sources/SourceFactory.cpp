#include "tools/record/sources/SourceFactory.h"

#include <memory>
#include <thread>

#include "tools/common/PictureSizeText.h"
#include "tools/common/ServerAddress.h"
#include "tools/record/sources/MediaCamera.h"
#include "tools/record/sources/MediaSound.h"
#include "tools/record/sources/NetworkInput.h"
#include "tools/record/sources/NoSignalPicture.h"
#include "tools/record/sources/ReconnectingSource.h"
#include "tools/record/sources/Silence.h"
#include "tools/record/sources/SorvoStreamCamera.h"
#include "tools/record/sources/SoundFormat.h"
#include "tools/record/sources/SyntheticCamera.h"
#include "tools/record/sources/ToneSource.h"

namespace sorvo::tools {
namespace {

// Sound waits for the feeder in a queue this long; a stand-in buffer every MP3 frame.
constexpr double kSoundQueueSeconds = 2.0;
constexpr double kSoundBufferSeconds = static_cast<double>(kSoundBufferSamples) / kSoundRate;

bool PixelFormatByName(const std::string& name, PixelFormat* format) {
  static const struct {
    const char* name;
    PixelFormat format;
  } kNames[] = {{"bgr24", PIX_FMT_BGR24},
                {"rgb24", PIX_FMT_RGB24},
                {"bgra", PIX_FMT_BGRA},
                {"yuv420p", PIX_FMT_YUV420P},
                {"gray", PIX_FMT_GRAY8}};
  for (const auto& entry : kNames) {
    if (name == entry.name) {
      *format = entry.format;
      return true;
    }
  }
  return false;
}

// test, test:WxH or test:WxH:FORMAT. False with `error` for a mistake in the text.
bool ParseTestCamera(const std::string& name,
                     int* width,
                     int* height,
                     PixelFormat* format,
                     std::string* error) {
  *width = 640;
  *height = 480;
  *format = PIX_FMT_BGR24;
  const size_t sizeAt = name.find(':');
  if (sizeAt == std::string::npos)
    return true;
  const size_t formatAt = name.find(':', sizeAt + 1);
  const std::string size = name.substr(sizeAt + 1, formatAt - sizeAt - 1);
  if (!ParsePictureSize(size, width, height)) {
    *error = "a test camera is written test, test:WxH or test:WxH:FORMAT";
    return false;
  }
  const std::string formatName =
      formatAt == std::string::npos ? "bgr24" : name.substr(formatAt + 1);
  if (!PixelFormatByName(formatName, format)) {
    *error =
        "unknown picture format \"" + formatName + "\"; use bgr24, rgb24, bgra, yuv420p or gray";
    return false;
  }
  *error = MediaSource::SizeProblem(*width, *height);
  return error->empty();
}

ReconnectingSource::Connect ConnectMediaCamera(const std::string& source) {
  return [source](const Wanted& wanted, const StopToken& stop, std::string* why) {
    return std::unique_ptr<MediaSource>(MediaCamera::Open(source, why, wanted, stop.flag()));
  };
}

// A camera that loses its signal and gets it back: `connect` opens it again; `first`, when
// given, is its first connection, already open.
std::unique_ptr<MediaSource> OpenReconnectingCamera(const std::string& source,
                                                    const CameraSettings& settings,
                                                    ReconnectingSource::Connect connect,
                                                    std::unique_ptr<MediaSource> first) {
  ReconnectingSource::Setup setup;
  setup.name = source;
  setup.listener = IsListenerUrl(source);
  if (first) {
    // Handed over at the first call; every later one connects again.
    auto opened = std::make_shared<std::unique_ptr<MediaSource>>(std::move(first));
    setup.connect = [opened, connect](const Wanted& wanted, const StopToken& stop,
                                      std::string* why) {
      return *opened ? std::move(*opened) : connect(wanted, stop, why);
    };
  } else {
    setup.connect = std::move(connect);
  }
  const std::string name = settings.name;
  const bool hold = settings.holdOnLoss;
  setup.standIn = [name, hold](const MediaSource& format) {
    return std::make_unique<NoSignalPicture>(name, format.width(), format.height(),
                                             format.pixelFormat(), hold);
  };
  setup.width = settings.width;
  setup.height = settings.height;
  setup.pixelFormat = PIX_FMT_YUV420P;
  setup.frameRate = settings.fps;
  return std::make_unique<ReconnectingSource>(std::move(setup));
}

std::unique_ptr<MediaSource> OpenLiveCamera(const std::string& source,
                                            const CameraSettings& settings,
                                            std::string* error) {
  if (SorvoStreamCamera::Names(source)) {
    // A mistake in the address is the user's, not the network's.
    ServerAddress address;
    if (!SorvoStreamCamera::ParseAddress(source, &address, error))
      return nullptr;
    return OpenReconnectingCamera(
        source, settings,
        [source, passage = settings.passage](const Wanted& wanted, const StopToken& stop,
                                             std::string* why) {
          return std::unique_ptr<MediaSource>(
              SorvoStreamCamera::Open(source, why, wanted, &stop, passage));
        },
        nullptr);
  }
  return OpenReconnectingCamera(source, settings, ConnectMediaCamera(source), nullptr);
}

// A file or a capture device: one that cannot be opened at the start is the user's
// mistake; one that ends later (a file that cannot be played again, a device unplugged)
// is a loss, opened again as a network camera is.
std::unique_ptr<MediaSource> OpenLocalCamera(const std::string& source,
                                             const CameraSettings& settings,
                                             std::string* error) {
  std::unique_ptr<MediaSource> first = MediaCamera::Open(source, error);
  if (!first)
    return nullptr;
  *error = MediaSource::SizeProblem(first->width(), first->height());
  if (!error->empty())
    return nullptr;
  // Its format is known from the start.
  CameraSettings format = settings;
  format.width = first->width();
  format.height = first->height();
  format.fps = first->frameRate();
  return OpenReconnectingCamera(source, format, ConnectMediaCamera(source), std::move(first));
}

std::unique_ptr<MediaSource> OpenLiveSound(const std::string& name) {
  ReconnectingSource::Setup setup;
  setup.name = name;
  setup.listener = IsListenerUrl(name);
  setup.connect = [name](const Wanted& wanted, const StopToken& stop, std::string* why) {
    return std::unique_ptr<MediaSource>(
        MediaSound::Open(name, why, stop.flag(), wanted.knownRate > 0));
  };
  setup.standIn = [](const MediaSource&) { return std::make_unique<Silence>(); };
  setup.pictures = false;
  setup.depth = static_cast<size_t>(kSoundQueueSeconds / kSoundBufferSeconds);
  setup.frameRate = kSoundRate / kSoundBufferSamples;
  setup.period = kSoundBufferSeconds;
  return std::make_unique<ReconnectingSource>(std::move(setup));
}

}  // namespace

bool IsTestCamera(const std::string& source) {
  return source == "test" || source.rfind("test:", 0) == 0;
}

std::string TestCameraProblem(const std::string& source) {
  int width = 0;
  int height = 0;
  PixelFormat format = PIX_FMT_NONE;
  std::string error;
  if (IsTestCamera(source))
    ParseTestCamera(source, &width, &height, &format, &error);
  return error;
}

std::unique_ptr<MediaSource> OpenCamera(const std::string& source,
                                        const CameraSettings& settings,
                                        std::string* error) {
  if (SorvoStreamCamera::Names(source) || IsNetworkUrl(source))
    return OpenLiveCamera(source, settings, error);
  if (!IsTestCamera(source))
    return OpenLocalCamera(source, settings, error);
  int width = 0;
  int height = 0;
  PixelFormat format = PIX_FMT_NONE;
  if (!ParseTestCamera(source, &width, &height, &format, error))
    return nullptr;
  return std::make_unique<SyntheticCamera>(settings.number, width, height, format, settings.fps);
}

std::unique_ptr<MediaSource> OpenSound(const std::string& name, std::string* error) {
  error->clear();
  if (name == "none")
    return nullptr;
  if (name == "tone")
    return std::make_unique<ToneSource>();
  if (IsNetworkUrl(name))
    return OpenLiveSound(name);
  std::unique_ptr<MediaSound> sound = MediaSound::Open(name, error);
  return sound;
}

void FinishOpening(const std::vector<MediaSource*>& sources) {
  std::vector<std::thread> opening;
  for (MediaSource* source : sources)
    opening.emplace_back([source] { source->FinishOpening(); });
  for (std::thread& thread : opening)
    thread.join();
}

}  // namespace sorvo::tools
