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
    const std::array<bool, kConsoleCameras>& present) {
  std::vector<Change> changes;
  for (int number = 0; number < kConsoleCameras; ++number) {
    if (!present[number])
      continue;
    Camera& camera = m_cameras[number];
    if (!camera.seen) {
      camera.seen = true;
      camera.since = now;
    }
    if (pictures[number] != camera.pictures) {
      camera.pictures = pictures[number];
      camera.since = now;
      if (camera.state == SignalState::kNoSignal)
        changes.push_back({number, false});
      camera.state = SignalState::kLive;
    } else if (camera.state != SignalState::kNoSignal && now - camera.since >= m_timeout) {
      camera.state = SignalState::kNoSignal;
      changes.push_back({number, true});
    }
  }
  return changes;
}

}  // namespace sorvo::tools
