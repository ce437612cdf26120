// Turns the text of --camera and --audio into an opened source, or a message saying why
// it cannot be had.
#pragma once

#include <memory>
#include <string>

#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

// "test[:WxH[:FORMAT]]" makes a synthetic camera (`fps` pictures per second); anything else
// is opened as a media input. The picture size must be one the library records (100 to
// 5000 each way). Null with `error` set otherwise.
std::unique_ptr<MediaSource> OpenCamera(const std::string& name, int number, int fps,
                                        std::string* error);

// "tone", a media file or "alsa:DEVICE". Null for "none" (with `error` empty) and when the
// source cannot be opened (with `error` set).
std::unique_ptr<MediaSource> OpenSound(const std::string& name, std::string* error);

}  // namespace sorvo::tools
