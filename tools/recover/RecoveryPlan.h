// What a rescue will write, worked out before the new file is opened: for every stream the
// packets that came through intact, where each one's bytes are in the input and when it is
// shown. The input is read to its end first, so nothing is written while it is still read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/recover/Mp3FrameHeader.h"

namespace sorvo::tools {

struct PlannedPacket {
  size_t offset = 0;  // where the packet (or the record holding it) starts in the input
  size_t size = 0;
  int64_t tick = 0;  // when it is shown, in frame durations of its stream since its start
  bool key = false;
};

struct VideoPlan {
  int width = 0;
  int height = 0;
  int frameRate = 0;
  std::string rateSource;       // "the stream's headers", "--fps" or "a guess"
  std::vector<uint8_t> config;  // the headers of its first key frame
  std::vector<PlannedPacket> packets;
  long long beforeKeyFrame = 0;  // pictures ahead of its first clean key frame, left out
  long long damaged = 0;         // pictures that did not decode cleanly, left out
};

struct SoundPlan {
  Mp3FrameHeader format;
  std::vector<PlannedPacket> frames;
};

// Numbers in the input that could not be believed (a frame rate, a packet number, a
// picture time): each is reported, and the rescue's exit status says so.
class Doubts {
 public:
  void Add(const std::string& what);
  long long count() const { return m_count; }
  // The first few, in the order they came.
  const std::vector<std::string>& first() const { return m_first; }

 private:
  long long m_count = 0;
  std::vector<std::string> m_first;
};

struct RecoveryPlan {
  std::vector<VideoPlan> video;
  SoundPlan sound;
  Doubts doubts;

  long long PicturesKept() const;
};

}  // namespace sorvo::tools
