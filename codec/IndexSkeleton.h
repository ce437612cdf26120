// The index a regular MP4 of a finished recording needs, made at the end without the
// recording's samples: a regular (unfragmented) muxer is given the file's streams, what the
// file says about itself and, per stream, only its first and last packets' times, and writes
// into memory. Its 'moov' then holds everything but the sample tables of those streams:
// durations, edit lists (a stream's late start, the sound's start-up delay), track names,
// metadata, the timecode track and the chapter track. The tables come from the recording
// itself (RegularMp4Finish).
//
// Threads: any; Make holds no state between calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/PacketStamps.h"

struct AVDictionary;
struct AVFormatContext;

namespace sorvo::mp4 {

struct IndexSkeleton {
  std::string ftyp;  // the regular file's 'ftyp' box
  std::string moov;  // its 'moov' box
  // The samples of the tracks the muxer makes itself (timecode, chapters), which lay from
  // byte tailOffset of the muxer's output on: 'moov' points at them there.
  std::string tail;
  uint64_t tailOffset = 0;

  // Runs the muxer of `file`'s format over its streams (parameters, time bases, metadata)
  // and its metadata, with `options` for the header (not consumed), the packets of
  // `streams` (one entry per stream of `file`) and, before the trailer, `addChapters`.
  // False with *error when the muxer refuses.
  static bool Make(const AVFormatContext* file,
                   const std::vector<StreamStamps>& streams,
                   const AVDictionary* options,
                   const std::function<void(AVFormatContext*)>& addChapters,
                   IndexSkeleton* skeleton,
                   std::string* error);
};

}  // namespace sorvo::mp4
