#include "codec/FragmentWalk.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "codec/Mp4Box.h"
#include "host/PositionedFile.h"

namespace sorvo::mp4 {
namespace {

// A 'moof' holds the index of one fragment: kilobytes. Anything far larger is no fragment
// of ours, and reading it whole would take the memory the walk is there to save.
constexpr uint64_t kLargestMoof = 64 << 20;

// tfhd flags
constexpr uint32_t kBaseDataOffset = 0x000001;
constexpr uint32_t kDescriptionIndex = 0x000002;
constexpr uint32_t kDefaultDuration = 0x000008;
constexpr uint32_t kDefaultSize = 0x000010;
constexpr uint32_t kDefaultFlags = 0x000020;
constexpr uint32_t kBaseIsMoof = 0x020000;
// trun flags
constexpr uint32_t kDataOffset = 0x000001;
constexpr uint32_t kFirstSampleFlags = 0x000004;
constexpr uint32_t kSampleDuration = 0x000100;
constexpr uint32_t kSampleSize = 0x000200;
constexpr uint32_t kSampleFlags = 0x000400;
constexpr uint32_t kSampleComposition = 0x000800;
// sample flags
constexpr uint32_t kNonSync = 0x00010000;

// Reads consecutive fields of a box's payload, refusing to run past its end.
class FieldReader {
 public:
  FieldReader(const uint8_t* data, uint64_t at, uint64_t end)
      : m_data(data), m_at(at), m_end(end) {}
  bool Has(uint64_t bytes) const { return m_end - m_at >= bytes; }
  uint32_t U32() {
    const uint32_t value = Get32(m_data + m_at);
    m_at += 4;
    return value;
  }
  uint64_t U64() {
    const uint64_t value = Get64(m_data + m_at);
    m_at += 8;
    return value;
  }

 private:
  const uint8_t* m_data;
  uint64_t m_at;
  uint64_t m_end;
};

}  // namespace

bool FragmentWalk::Run(const SampleHandler& handler, std::string* error) {
  m_pHandler = &handler;
  m_tracks.clear();
  std::string moof;
  for (uint64_t at = m_nBegin; at < m_nEnd;) {
    Box box;
    if (!BoxInFile(m_file, m_nEnd, at, &box)) {
      *error = "a box at byte " + std::to_string(at) + " runs past the end of the file";
      return false;
    }
    if (box.type == FourCc("moof")) {
      if (box.size > kLargestMoof) {
        *error = "a fragment index at byte " + std::to_string(at) + " is too large";
        return false;
      }
      moof.resize(box.size);
      if (!m_file.ReadAt(at, moof.data(), moof.size()) || !ReadFragment(at, moof, error)) {
        if (error->empty())
          *error = "cannot read the fragment at byte " + std::to_string(at);
        return false;
      }
    }
    at = box.end();
  }
  for (auto& [id, track] : m_tracks) {
    if (track.pending)
      handler(id, track.sample);
    track.pending = false;
  }
  return true;
}

bool FragmentWalk::ReadFragment(uint64_t offset, const std::string& moof, std::string* error) {
  const auto* data = reinterpret_cast<const uint8_t*>(moof.data());
  Box box;
  std::vector<Box> children;
  if (!BoxAt(data, moof.size(), 0, &box) || !Children(data, box.header, box.size, &children)) {
    *error = "the fragment index at byte " + std::to_string(offset) + " is broken";
    return false;
  }
  // Without an explicit base, a track fragment's data follows the previous one's.
  uint64_t dataEnd = offset;
  for (const Box& child : children) {
    if (child.type == FourCc("traf") &&
        !ReadTrackFragment(data, child.payload(), child.end(), offset, &dataEnd, error))
      return false;
  }
  return true;
}

bool FragmentWalk::ReadTrackFragment(const uint8_t* data,
                                     uint64_t begin,
                                     uint64_t end,
                                     uint64_t moofOffset,
                                     uint64_t* dataEnd,
                                     std::string* error) {
  const std::string where = " in the fragment at byte " + std::to_string(moofOffset);
  std::vector<Box> children;
  if (!Children(data, begin, end, &children) || children.empty() ||
      children[0].type != FourCc("tfhd")) {
    *error = "a track fragment without its header" + where;
    return false;
  }
  FieldReader header(data, children[0].payload(), children[0].end());
  if (!header.Has(8)) {
    *error = "a short track fragment header" + where;
    return false;
  }
  const uint32_t flags = header.U32() & 0xFFFFFF;
  const uint32_t trackId = header.U32();
  auto defaults = m_defaults.find(trackId);
  if (defaults == m_defaults.end())
    return true;  // a track the caller does not ask for
  TrackDefaults fragment = defaults->second;
  uint64_t base = (flags & kBaseIsMoof) ? moofOffset : *dataEnd;
  const int fields = ((flags & kBaseDataOffset) ? 2 : 0) + ((flags & kDescriptionIndex) ? 1 : 0) +
                     ((flags & kDefaultDuration) ? 1 : 0) + ((flags & kDefaultSize) ? 1 : 0) +
                     ((flags & kDefaultFlags) ? 1 : 0);
  if (!header.Has(4 * static_cast<uint64_t>(fields))) {
    *error = "a short track fragment header" + where;
    return false;
  }
  if (flags & kBaseDataOffset)
    base = header.U64();
  if (flags & kDescriptionIndex)
    fragment.descriptionIndex = header.U32();
  if (flags & kDefaultDuration)
    fragment.duration = header.U32();
  if (flags & kDefaultSize)
    fragment.size = header.U32();
  if (flags & kDefaultFlags)
    fragment.flags = header.U32();

  TrackState& track = m_tracks[trackId];
  uint64_t decode = track.nextDecode;
  uint64_t next = base;  // where a trun without a data offset begins
  for (const Box& child : children) {
    if (child.type == FourCc("tfdt")) {
      FieldReader time(data, child.payload(), child.end());
      if (!time.Has(8)) {
        *error = "a short decode time" + where;
        return false;
      }
      const bool wide = data[child.payload()] == 1;
      time.U32();
      if (wide && !time.Has(8)) {
        *error = "a short decode time" + where;
        return false;
      }
      decode = wide ? time.U64() : time.U32();
      continue;
    }
    if (child.type != FourCc("trun"))
      continue;
    FieldReader run(data, child.payload(), child.end());
    if (!run.Has(8)) {
      *error = "a short track run" + where;
      return false;
    }
    const bool signedOffsets = data[child.payload()] != 0;
    const uint32_t runFlags = run.U32() & 0xFFFFFF;
    const uint32_t count = run.U32();
    if (!run.Has(((runFlags & kDataOffset) ? 4 : 0) + ((runFlags & kFirstSampleFlags) ? 4 : 0))) {
      *error = "a short track run" + where;
      return false;
    }
    uint64_t at = next;
    if (runFlags & kDataOffset)
      at = base + static_cast<int64_t>(static_cast<int32_t>(run.U32()));
    const bool firstFlags = (runFlags & kFirstSampleFlags) != 0;
    const uint32_t firstSampleFlags = firstFlags ? run.U32() : 0;
    const int perSample = ((runFlags & kSampleDuration) ? 4 : 0) +
                          ((runFlags & kSampleSize) ? 4 : 0) + ((runFlags & kSampleFlags) ? 4 : 0) +
                          ((runFlags & kSampleComposition) ? 4 : 0);
    if (!run.Has(static_cast<uint64_t>(count) * perSample)) {
      *error = "a track run shorter than its samples" + where;
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      FragmentSample sample;
      sample.offset = at;
      sample.descriptionIndex = fragment.descriptionIndex;
      sample.duration = (runFlags & kSampleDuration) ? run.U32() : fragment.duration;
      sample.size = (runFlags & kSampleSize) ? run.U32() : fragment.size;
      uint32_t sampleFlags = (runFlags & kSampleFlags) ? run.U32() : fragment.flags;
      if (i == 0 && firstFlags)
        sampleFlags = firstSampleFlags;
      if (runFlags & kSampleComposition) {
        const uint32_t offset = run.U32();
        sample.compositionOffset =
            signedOffsets ? static_cast<int64_t>(static_cast<int32_t>(offset)) : offset;
      }
      sample.sync = (sampleFlags & kNonSync) == 0;
      sample.chunkStart = i == 0;
      if (at > m_nEnd || sample.size > m_nEnd - at) {
        *error = "a sample lies outside the file" + where;
        return false;
      }
      Take(trackId, &track, sample, decode);
      decode += sample.duration;
      at += sample.size;
    }
    next = at;
    *dataEnd = std::max(*dataEnd, at);
  }
  track.nextDecode = decode;
  return true;
}

void FragmentWalk::Take(uint32_t trackId,
                        TrackState* track,
                        const FragmentSample& sample,
                        uint64_t decode) {
  if (track->pending) {
    // The sample before lasts until this one begins, as long as that moves time on.
    if (decode >= track->decodeTime &&
        decode - track->decodeTime <= std::numeric_limits<uint32_t>::max())
      track->sample.duration = static_cast<uint32_t>(decode - track->decodeTime);
    (*m_pHandler)(trackId, track->sample);
  }
  track->pending = true;
  track->sample = sample;
  track->decodeTime = decode;
}

}  // namespace sorvo::mp4
