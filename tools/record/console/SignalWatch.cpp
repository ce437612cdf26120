#include "tools/record/console/SignalWatch.h"

namespace sorvo::tools {

const char* SignalStateName(SignalState state) {
  switch (state) {
    case SignalState::kWaiting:
      return "waiting";
    case SignalState::kLive:
      return "live";
    case SignalState::kNoSignal:
      return "no signal";
  }
  return "";
}

std::vector<SignalWatch::Change> SignalWatch::Update(
    Clock::time_point now,
    const std::array<long long, kConsoleCameras>& pictures,
    const std::array<bool, kConsoleCameras>& present,
    const std::array<bool, kConsoleCameras>& lost) {
  std::vector<Change> changes;
  for (int number = 0; number < kConsoleCameras; ++number) {
    if (!present[number])
      continue;
    Camera& camera = m_cameras[number];
    if (!camera.seen) {
      camera.seen = true;
      camera.since = now;
    }
    // Pictures that stand in for a lost source are counted, never taken for its own.
    const bool delivered = pictures[number] != camera.pictures && !lost[number];
    camera.pictures = pictures[number];
    if (delivered) {
      camera.since = now;
      if (camera.state == SignalState::kNoSignal)
        changes.push_back({number, false});
      camera.state = SignalState::kLive;
    } else if (camera.state != SignalState::kNoSignal &&
               (lost[number] || now - camera.since >= m_timeout)) {
      camera.state = SignalState::kNoSignal;
      changes.push_back({number, true});
    }
  }
  return changes;
}

}  // namespace sorvo::tools
