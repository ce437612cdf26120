// The cut laid against the session's files, in pictures of the session's timecode: each
// shot as an event that takes the program's pictures (record) from a camera's file
// (source), the way an editor rebuilds the program from the camera files.
//
// The director's file is the record side: a shot that begins at session time t is at
// picture FrameAt(t) of the session's timecode, which is where the director's file, whose
// own timecode starts at its first picture, shows it. Each camera's file has its own first
// timecode (a file that starts later starts at a later one); a shot's source picture is that
// file's first timecode plus the shot's distance, in pictures, from the file's origin.
//
// Every time is counted the way its file's timecode track counts: from the file's first
// timecode (a time of day, below one day's pictures) on, without wrapping at midnight, so
// that a session across midnight keeps its times in order. The first shot is shown from the
// program's first picture: the director shows a camera from its first picture on, and the
// switch to it is only reported with the first picture the director places.
//
// Threads: a value; any.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/Timecode.h"
#include "tools/record/edit/CutList.h"

namespace sorvo::tools {

// One file of the session as the edit refers to it.
struct EditFile {
  int camera = -1;       // the camera's number; -1 for the director's file
  std::string name;      // the camera's name (camera0, or the name it was given)
  std::string path;      // where the file is
  bool started = false;  // it holds pictures: `origin` is known
  double origin = 0;     // session time of its first picture
  // Session time where its pictures end (the director's file only).
  double end = 0;
  int channels = 0;  // the sound file's channels (the sound file only)
};

struct EditEvent {
  int number = 0;  // 1, 2, ...
  int camera = 0;
  int64_t recordIn = 0;  // pictures of the session's timecode; out is exclusive
  int64_t recordOut = 0;
  int64_t sourceIn = 0;  // pictures of the camera file's timecode
  int64_t sourceOut = 0;
};

struct EditMark {
  int64_t record = 0;  // picture of the session's timecode
  std::string label;
};

struct EditPlan {
  Timecode timecode;
  EditFile program;               // the director's file
  std::vector<EditFile> sources;  // indexed by camera number; cameras without a file unstarted
  int64_t recordStart = 0;        // the program's first timecode
  int64_t recordEnd = 0;          // its end (exclusive)
  std::vector<EditEvent> events;
  std::vector<EditMark> marks;
  // The session's sound file under the program, from its first sample (or the program's
  // first picture) to the program's end; unstarted, or soundIn == soundOut: no sound.
  EditFile sound;
  int64_t soundIn = 0;  // record pictures; out is exclusive
  int64_t soundOut = 0;
  int64_t soundSource = 0;  // the sound file's own timecode at soundIn

  // The source file of camera `camera`, or null.
  const EditFile* Source(int camera) const;
  // A camera file's first timecode, in pictures of its day.
  int64_t SourceStart(const EditFile& file) const;
  bool HasSound() const { return sound.started && soundOut > soundIn; }
  // Pictures in a day of the timecode.
  int64_t Day() const { return int64_t{86400} * timecode.rate(); }
};

// Lays `shots` and `marks` against the files. A shot on a camera without a file, or before
// its file began, is left out of the events (the shot before lasts longer); shots after the
// program's end are dropped. The marks' labels are made printable (PrintableText). `sound`,
// when started, is laid under the program where it has samples; its source timecode is the
// session's timecode of its first sample, as for a camera's file.
EditPlan PlanEdit(const std::vector<Shot>& shots,
                  const std::vector<Mark>& marks,
                  const Timecode& timecode,
                  const EditFile& program,
                  const std::vector<EditFile>& sources,
                  const EditFile& sound = EditFile());

}  // namespace sorvo::tools
