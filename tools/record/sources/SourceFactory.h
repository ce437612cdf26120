// Turns the text of --camera and --audio into a source, or a message saying why it cannot
// be had.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tools/record/sources/MediaSource.h"

namespace sorvo::tools {

class PacketPassage;

// What a camera needs besides its source's text.
struct CameraSettings {
  int number = 0;
  std::string name;  // shown on its no-signal picture
  int fps = 25;      // of a test camera, and of a network camera not reached at the start
  // The picture size of a network camera not reached at the start.
  int width = 1280;
  int height = 720;
  bool holdOnLoss = false;  // a camera without signal shows its last picture, not the slate
  // Where a sorvo:// camera's packets go as received; null: only its pictures are used.
  std::shared_ptr<PacketPassage> passage;
};

// "test[:WxH[:FORMAT]]" makes a synthetic camera (`fps` pictures per second);
// "sorvo://HOST:PORT" another recorder's camera; a network URL (NetworkInput.h) a network
// camera, not reached until FinishOpening; anything else is opened as a media input (a
// file or a capture device), which must open now. All but the test camera are opened
// again when they lose their signal (ReconnectingSource.h). The picture size must be one
// the library records (100 to 5000 each way). Null with `error` set otherwise.
std::unique_ptr<MediaSource> OpenCamera(const std::string& source,
                                        const CameraSettings& settings,
                                        std::string* error);

// Whether `source` names a test camera, whose pictures are made when asked for.
bool IsTestCamera(const std::string& source);

// What is wrong with a test camera's text ("test:10x10": a size the library does not
// record); empty when it is right or names another kind of source. A mistake the command
// line can be told of before anything opens.
std::string TestCameraProblem(const std::string& source);

// "tone", a media file, "alsa:DEVICE" or a network URL, which reconnects when it loses its
// signal. Null for "none" (with `error` empty) and when the source cannot be opened (with
// `error` set).
std::unique_ptr<MediaSource> OpenSound(const std::string& name, std::string* error);

// Lets the sources that connect in the background make their first connection, side by
// side, and waits for every one to answer or give up.
void FinishOpening(const std::vector<MediaSource*>& sources);

}  // namespace sorvo::tools
