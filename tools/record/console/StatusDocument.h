// The console's status: the recorder's snapshot (the live form of the --json summary, with
// the same names) and what the console measures itself: rates now, each camera's signal and
// picture size, the program's tally, file sizes and free space, the sound's levels.
#pragma once

#include <array>
#include <vector>

#include "tools/common/Json.h"
#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/ConsoleModel.h"
#include "tools/record/console/SignalWatch.h"
#include "tools/record/console/SinkRates.h"
#include "tools/record/console/SoundMeter.h"
#include "tools/record/console/StorageGauge.h"

namespace sorvo::tools {

// The camera on program as the console knows it.
struct ProgramTally {
  int camera = -1;
  // Selected, but its next picture has not reached the director yet.
  bool pending = false;
  double since = 0;  // session time of the switch
};

struct ConsoleView {
  ProgramTally program;
  int preview = -1;  // the camera on the preview bus; -1 for none
  std::array<SignalState, kConsoleCameras> signal{};
  std::array<std::array<int, 2>, kPictureSlots> pictureSizes{};  // width, height; 0 unknown
  const SinkRates* rates = nullptr;
  const StorageGauge* storage = nullptr;
  bool hasSound = false;
  std::vector<ChannelLevel> levels;
  int connections = 0;
  int pages = 0;                                      // WebSocket clients that get thumbnails
  int streams = 0;                                    // picture and sound streams
  std::array<long long, kPictureSlots> thumbnails{};  // made so far, per tile
  // The cut as the console follows it (the snapshot's own is not shown), and which part of
  // it and of the notes to give.
  const std::vector<Shot>* shots = nullptr;
  const std::vector<Mark>* marks = nullptr;
  ListPages window;
};

const char* ConsoleStateName(ConsoleSessionState state);

// The status: every list in it (switches, marks, notes) is the part `view.window` asks for,
// and "lists" says for each its length ("total") and the index of its first entry given
// ("from").
Json StatusJson(const ConsoleSnapshot& snapshot, const ConsoleView& view);

// The cut event that brings a page's cut up to date: {"event": "cut", "switchesFrom",
// "switches", "marksFrom", "marks"}; the page keeps its entries before each index and puts
// the ones given after them.
Json CutEventJson(size_t shotsFrom,
                  const std::vector<Shot>& shots,
                  size_t shotsEnd,
                  size_t marksFrom,
                  const std::vector<Mark>& marks,
                  size_t marksEnd);

}  // namespace sorvo::tools
