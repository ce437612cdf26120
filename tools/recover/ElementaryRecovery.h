// Recovery of MPEG-4 Part 2 packets laid end to end: a raw stream file (one camera), or the
// media data of an MP4 that lost its index, where several cameras' pictures and the sound
// may lie interleaved in the order the muxer wrote them.
//
// Telling the cameras apart: every key frame carries its camera's headers (its picture size
// among them), so it belongs to a stream with the same headers. A picture between key
// frames carries only its time, which each camera's encoder counts on picture by picture:
// it belongs to the stream whose time it continues with the shortest step (of streams it
// continues equally, the one that has waited longest, since the muxer writes the cameras in
// turn), provided it decodes cleanly there; a picture of another camera's size does not,
// and then the next candidate is tried. Cameras with the same headers (the same picture
// size and settings) are told apart by time and turn only.
//
// Each stream is timed by its pictures' own times from its first picture on; those times
// count pictures, so a gap appears only where the encoder itself skipped a picture time or
// a damaged picture was left out: pictures that the recorder dropped before encoding leave
// no trace in the stream and cannot come back as gaps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/recover/RecoveryPlan.h"

namespace sorvo::tools {

struct ElementaryRecovery {
  long long pictures = 0;              // pictures found
  long long piecesWithoutPicture = 0;  // headers with no picture behind them
  long long unplaced =
      0;  // pictures no stream takes: headers damaged or cut short, damaged key frames
  long long beforeKeyFrame = 0;  // pictures ahead of every stream's first key frame
  long long bytesSkipped = 0;    // bytes that began no piece
};

// Adds the streams found in bytes `begin` to `end` of `file` to `plan` (whose offsets are
// the file's). `withSound`: MP3 frames may lie between the pictures. `forcedRate`: --fps,
// or 0.
ElementaryRecovery RecoverElementaryStream(const uint8_t* file,
                                           size_t begin,
                                           size_t end,
                                           bool withSound,
                                           int forcedRate,
                                           RecoveryPlan* plan);

// Whether the bytes begin like an MPEG-4 Part 2 stream: a start code of its headers or of
// a picture at the very first byte, as every raw stream file the library writes does.
bool LooksLikeRawStream(const uint8_t* data, size_t size);

}  // namespace sorvo::tools
