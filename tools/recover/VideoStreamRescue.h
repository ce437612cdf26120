// One video stream being rescued: decides which of its pictures go into the new file. Its
// first clean key frame gives the stream's headers, picture size and frame rate; from there
// every picture that decodes cleanly is kept, and one that does not is left out (it would
// show as damage). Pictures ahead of that key frame are left out: nothing can decode them.
// One thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/recover/PictureCheck.h"
#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {

// The frame rates a stream may declare and --fps may set.
constexpr int kLowestFrameRate = 1;
constexpr int kHighestFrameRate = 35;
// The longest gap between two pictures of a stream that a file's numbers are believed for.
constexpr int kLongestGapSeconds = 60 * 60;

class VideoStreamRescue {
 public:
  // `forcedRate`: --fps, or 0 to take the rate the stream's headers declare. `name` names
  // the stream in what is reported to `doubts`.
  VideoStreamRescue(int forcedRate, std::string name, Doubts* doubts);

  bool started() const { return !m_plan.packets.empty(); }
  const std::string& name() const { return m_name; }

  // Decodes the picture in the stream's own decoder: true when it decodes cleanly. A
  // picture ahead of the first key frame is not decoded and gives false.
  bool Decodes(const uint8_t* data, size_t size, bool key);
  // Takes a picture that Decodes() accepted, shown at `tick`; the first starts the stream.
  void Keep(const uint8_t* data, size_t size, size_t offset, bool key, int64_t tick);
  // Counts a picture left out: ahead of the first key frame, or damaged.
  void LeaveOut(bool key);
  // Decodes and keeps the picture, or leaves it out.
  void Offer(const uint8_t* data, size_t size, size_t offset, bool key, int64_t tick);

  int frameRate() const { return m_plan.frameRate; }
  VideoPlan& plan() { return m_plan; }

 private:
  void Start(const uint8_t* data, size_t size);

  int m_forcedRate;
  std::string m_name;
  Doubts* m_doubts;
  PictureCheck m_check;
  VideoPlan m_plan;
};

}  // namespace sorvo::tools
