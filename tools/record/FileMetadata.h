// What every file of a session says about itself: the session's start as its creation time
// (ISO 8601, UTC), a timecode track from the session's time of day, and its tracks' names
// (the camera's, the director's, and "sound"), so that an editor lines the files up and
// knows them apart.
//
// Threads: the control thread; a file is described before its first packet.
#pragma once

#include <sorvo/sorvo.h>

#include <ctime>
#include <string>

#include "codec/Timecode.h"

namespace sorvo::tools {

class FileMetadata {
 public:
  // Dated now, at `rate` pictures a second, until StartNow.
  explicit FileMetadata(int rate);

  // The session starts now: files described or dated from here on say so.
  void StartNow();
  // The session starts today at `seconds` after midnight, local time (simulated time).
  void StartAtTimeOfDay(double seconds);
  const Timecode& timecode() const { return m_timecode; }

  // Gives a file to be made its metadata, track names and timecode; `video` names its
  // first video track, and its sound track is the sound's. Nothing for a null file.
  void Describe(FFWriteFile* file, const std::string& video) const;
  // Gives a file already described the start StartNow fixed (it has no packet yet).
  void Date(FFWriteFile* file) const;

 private:
  // The session starts at `seconds` since the epoch and `micros` microseconds.
  void StartAt(std::time_t seconds, int micros);

  int m_rate;
  Timecode m_timecode;
  std::string m_creationTime;
};

}  // namespace sorvo::tools
