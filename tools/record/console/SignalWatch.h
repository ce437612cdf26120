// Tells, from how many pictures each camera has delivered, whether its signal is there: a
// camera that delivered nothing for `timeout` has no signal, and gets it back with its next
// picture. Each change is reported once.
//
// One thread (the console's network thread).
#pragma once

#include <array>
#include <chrono>
#include <vector>

#include "tools/record/console/ApiRoute.h"

namespace sorvo::tools {

enum class SignalState { kWaiting, kLive, kNoSignal };
const char* SignalStateName(SignalState state);

class SignalWatch {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SignalWatch(Clock::duration timeout) : m_timeout(timeout) {}

  struct Change {
    int camera = 0;
    bool lost = false;  // else: back
  };
  // `pictures`: each camera's count so far; cameras not `present` are left alone.
  std::vector<Change> Update(Clock::time_point now,
                             const std::array<long long, kConsoleCameras>& pictures,
                             const std::array<bool, kConsoleCameras>& present);
  SignalState state(int camera) const { return m_cameras[camera].state; }

 private:
  struct Camera {
    SignalState state = SignalState::kWaiting;
    long long pictures = 0;
    bool seen = false;  // watched since `since`
    Clock::time_point since;
  };
  const Clock::duration m_timeout;
  std::array<Camera, kConsoleCameras> m_cameras;
};

}  // namespace sorvo::tools
