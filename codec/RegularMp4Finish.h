// Turns a fragmented MP4, written while recording so that its index never piles up in
// memory and a killed recording stays readable, into a regular MP4 in place, without moving
// a byte of its media:
//
// 1. Its fragments are read twice (FragmentWalk): once to count what the sample tables need,
//    once to write them (SampleTables), so memory does not grow with the recording.
// 2. After the last fragment come an 'mdat' with the samples of the tracks the index's muxer
//    made itself (timecode, chapters) and the new 'moov': the index skeleton
//    (IndexSkeleton) with each recorded track's tables filled in. Until step 3 a reader
//    still sees the fragmented file (it skips a second 'moov').
// 3. Once that is on the disk, one write over the file's first bytes makes it regular: the
//    regular 'ftyp', then an 'mdat' header whose 64-bit size spans the old 'moov' (blanked
//    by the same write) and every fragment, so that the fragments' index boxes become media
//    data no reader looks into and only the new 'moov' is left. That write is one small
//    write at offset 0: a process killed at any moment leaves either the readable
//    fragmented file or the regular one.
//
// Threads: any; the file must not be written by anyone else meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/IndexSkeleton.h"

namespace sorvo {
class PositionedFile;
}

namespace sorvo::mp4 {

struct FinishReport {
  int64_t samples = 0;     // in the tables written
  uint64_t moovBytes = 0;  // the new index
};

// `file`: the fragmented MP4, whose tracks 1 to samples.size() are the recording's streams,
// track n holding samples[n - 1] samples; `skeleton` the index for the same streams (a
// track without samples has none there). False with *error when the file is not as
// expected or cannot be written: it is then left as it was, the fragmented MP4 that plays
// as it is.
bool FinishRegularMp4(PositionedFile* file,
                      const IndexSkeleton& skeleton,
                      const std::vector<int64_t>& samples,
                      FinishReport* report,
                      std::string* error);

}  // namespace sorvo::mp4
