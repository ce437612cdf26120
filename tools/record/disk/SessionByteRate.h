// What a session's outputs will write each second, file system by file system, worked out
// from its options before anything is written: each camera's MP4 at its bit rate, the
// director's (with the program's sound), the multi-stream file, the sound's WAV, the
// private and raw stream files in the library's folder, and publishing to files (HLS, whose
// old segments are deleted as new ones come: a fixed amount, not a rate).
// Rates are what the encoders are asked for, with the containers' overhead: a camera
// whose pictures are simpler than its bit rate writes less.
#pragma once

#include <string>
#include <vector>

#include "tools/record/RecordOptions.h"
#include "tools/record/disk/FreeSpace.h"

namespace sorvo::tools {

struct OutputRate {
  std::string what;  // "3 camera MP4s", "the sound (WAV)"
  double bytesPerSecond = 0;
  double fixedBytes = 0;  // held whatever the session's length
};

// One file system the session writes to.
struct DiskNeed {
  std::string folder;  // the first of the session's folders on it
  FreeSpace space;     // as read when the need was made
  std::vector<OutputRate> outputs;
  // What the MP4s on it need to be finished (their index, written at the end) grows with
  // every picture and sound frame they take.
  double closingBytesPerSecond = 0;
  double BytesPerSecond() const;
  double FixedBytes() const;
  // How long the free space lasts at BytesPerSecond(); -1 when nothing grows.
  double SecondsLeft() const;
  // "3 camera MP4s at 250.0 KiB/s, the sound (WAV) at 172.3 KiB/s"
  std::string OutputsText() const;
};

// The session's needs: `outDir` holds its own files, `streamFolder` the library's stream
// files (used only when the options ask for them). A folder whose file system cannot be
// read is left out; `error` then says which (else it is cleared).
std::vector<DiskNeed> SessionDiskNeeds(const RecordOptions& options,
                                       const std::string& outDir,
                                       const std::string& streamFolder,
                                       std::string* error);

}  // namespace sorvo::tools
