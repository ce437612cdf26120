// Reads the samples of a fragmented MP4 back out of its 'moof' boxes: where each sample lies,
// its size, how long it lasts, its composition offset and whether it is a sync sample,
// track by track, with each trun's samples as one chunk.
//
// A sample lasts until the next sample of its track begins (its decode time, from the
// fragments' 'tfdt' boxes), so a gap between fragments stays with the sample before it, as
// a regular file's index has it; the last sample of a track keeps its own duration.
//
// Threads: any; an object belongs to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace sorvo {
class PositionedFile;
}

namespace sorvo::mp4 {

// A track's sample defaults, from its 'trex' box.
struct TrackDefaults {
  uint32_t descriptionIndex = 1;
  uint32_t duration = 0;
  uint32_t size = 0;
  uint32_t flags = 0;
};

struct FragmentSample {
  uint64_t offset = 0;
  uint32_t size = 0;
  uint32_t duration = 0;
  int64_t compositionOffset = 0;
  uint32_t descriptionIndex = 1;
  bool sync = true;
  bool chunkStart = false;  // the first sample of a trun: a new chunk
};

class FragmentWalk {
 public:
  using SampleHandler = std::function<void(uint32_t trackId, const FragmentSample& sample)>;

  // The fragments of `file` from `begin` (the first box after the 'moov') to `end`; the
  // tracks of `defaults` are read, others skipped. `file` must outlive the walk.
  FragmentWalk(const PositionedFile& file,
               uint64_t begin,
               uint64_t end,
               std::map<uint32_t, TrackDefaults> defaults)
      : m_file(file), m_nBegin(begin), m_nEnd(end), m_defaults(std::move(defaults)) {}

  // Hands every sample to `handler`, each track's in decode order. False with *error when a
  // fragment is broken or a sample lies outside the file.
  bool Run(const SampleHandler& handler, std::string* error);

 private:
  struct TrackState {
    bool pending = false;
    FragmentSample sample;    // read, waiting for the next one's decode time
    uint64_t decodeTime = 0;  // of the pending sample
    uint64_t nextDecode = 0;  // where the track's next sample begins without a 'tfdt'
  };

  bool ReadFragment(uint64_t offset, const std::string& moof, std::string* error);
  bool ReadTrackFragment(const uint8_t* data,
                         uint64_t begin,
                         uint64_t end,
                         uint64_t moofOffset,
                         uint64_t* dataEnd,
                         std::string* error);
  void Take(uint32_t trackId, TrackState* track, const FragmentSample& sample, uint64_t decode);

  const PositionedFile& m_file;
  uint64_t m_nBegin;
  uint64_t m_nEnd;
  std::map<uint32_t, TrackDefaults> m_defaults;
  std::map<uint32_t, TrackState> m_tracks;
  const SampleHandler* m_pHandler = nullptr;
};

}  // namespace sorvo::mp4
