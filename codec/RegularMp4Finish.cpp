#include "codec/RegularMp4Finish.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>

#include "codec/FragmentWalk.h"
#include "codec/Mp4Box.h"
#include "codec/SampleTables.h"
#include "host/PositionedFile.h"

namespace sorvo::mp4 {
namespace {

// An initial 'moov' is kilobytes; one far larger is no index of ours.
constexpr uint64_t kLargestInitialMoov = 16 << 20;
constexpr uint32_t kLargeSizeHeader = 16;

// A box of the new 'moov': a leaf kept whole, a container rebuilt from its children, or the
// place of one recorded track's sample tables.
struct Node {
  uint32_t type = 0;
  bool container = false;
  std::string bytes;  // a leaf
  std::vector<Node> children;
  int tables = -1;  // the index of the track whose tables go here
};

bool IsContainer(uint32_t type) {
  return type == FourCc("moov") || type == FourCc("trak") || type == FourCc("mdia") ||
         type == FourCc("minf") || type == FourCc("stbl");
}

// The boxes of a sample table that describe samples one by one: the recorded tracks get
// theirs from the fragments.
bool DescribesSamples(uint32_t type) {
  static constexpr uint32_t kPerSample[] = {FourCc("stts"), FourCc("ctts"), FourCc("cslg"),
                                            FourCc("stss"), FourCc("stps"), FourCc("sdtp"),
                                            FourCc("stsc"), FourCc("stsz"), FourCc("stz2"),
                                            FourCc("stco"), FourCc("co64"), FourCc("sbgp")};
  return std::find(std::begin(kPerSample), std::end(kPerSample), type) != std::end(kPerSample);
}

bool Parse(const std::string& data, const Box& box, Node* node) {
  node->type = box.type;
  node->container = IsContainer(box.type);
  if (!node->container) {
    node->bytes.assign(data, box.offset, box.size);
    return true;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  std::vector<Box> children;
  if (!Children(bytes, box.payload(), box.end(), &children))
    return false;
  node->children.resize(children.size());
  for (size_t i = 0; i < children.size(); ++i)
    if (!Parse(data, children[i], &node->children[i]))
      return false;
  return true;
}

Node* Child(Node* node, uint32_t type) {
  for (Node& child : node->children)
    if (child.type == type)
      return &child;
  return nullptr;
}

// tkhd: version and flags, then two times of 4 or 8 bytes, then the track id.
uint32_t TrackId(Node* trak) {
  const Node* tkhd = Child(trak, FourCc("tkhd"));
  if (tkhd == nullptr || tkhd->bytes.size() < 32)
    return 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(tkhd->bytes.data());
  return Get32(bytes + (bytes[8] == 1 ? 28 : 20));
}

// mdhd: the track's time scale and duration.
bool MediaTime(Node* trak, uint32_t* timescale, uint64_t* duration) {
  Node* mdia = Child(trak, FourCc("mdia"));
  const Node* mdhd = mdia != nullptr ? Child(mdia, FourCc("mdhd")) : nullptr;
  if (mdhd == nullptr || mdhd->bytes.size() < 32)
    return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(mdhd->bytes.data());
  const bool wide = bytes[8] == 1;
  if (wide && mdhd->bytes.size() < 44)
    return false;
  *timescale = Get32(bytes + (wide ? 28 : 20));
  *duration = wide ? Get64(bytes + 32) : Get32(bytes + 24);
  return true;
}

Node* SampleTable(Node* trak) {
  Node* mdia = Child(trak, FourCc("mdia"));
  Node* minf = mdia != nullptr ? Child(mdia, FourCc("minf")) : nullptr;
  return minf != nullptr ? Child(minf, FourCc("stbl")) : nullptr;
}

// An MPEG-4 descriptor's length: up to four bytes of seven bits each.
bool DescriptorLength(const std::string& data, size_t* at, uint32_t* length) {
  *length = 0;
  for (int i = 0; i < 4; ++i) {
    if (*at >= data.size())
      return false;
    const uint8_t byte = static_cast<uint8_t>(data[(*at)++]);
    *length = *length << 7 | (byte & 0x7F);
    if ((byte & 0x80) == 0)
      return true;
  }
  return true;
}

// The muxer of the skeleton saw stand-ins, not the samples: the average bit rate in the
// decoder configuration ('esds') and the bit rate box ('btrt') is set from the real bytes,
// and the maximum raised to it.
void PatchBitRates(std::string* stsd, uint32_t average) {
  for (size_t found = stsd->find("esds"); found != std::string::npos;
       found = stsd->find("esds", found + 1)) {
    if (found < 4)
      continue;
    size_t at = found + 8;  // type, version and flags
    uint32_t length = 0;
    if (at >= stsd->size() || static_cast<uint8_t>((*stsd)[at++]) != 0x03 ||
        !DescriptorLength(*stsd, &at, &length) || at + 3 > stsd->size())
      continue;
    const uint8_t flags = static_cast<uint8_t>((*stsd)[at + 2]);
    at += 3;
    if (flags & 0x80)
      at += 2;
    if ((flags & 0x40) && at < stsd->size())
      at += 1 + static_cast<uint8_t>((*stsd)[at]);
    if (flags & 0x20)
      at += 2;
    if (at >= stsd->size() || static_cast<uint8_t>((*stsd)[at++]) != 0x04 ||
        !DescriptorLength(*stsd, &at, &length) || at + 13 > stsd->size())
      continue;
    auto* bytes = reinterpret_cast<uint8_t*>(stsd->data()) + at;
    Put32(bytes + 5, std::max(Get32(bytes + 5), average));
    Put32(bytes + 9, average);
    break;
  }
  // The bit rate box says the same: buffer size, maximum, average.
  const size_t btrt = stsd->find("btrt");
  if (btrt != std::string::npos && btrt >= 4 && btrt + 16 <= stsd->size()) {
    auto* bytes = reinterpret_cast<uint8_t*>(stsd->data()) + btrt + 4;
    Put32(bytes + 4, std::max(Get32(bytes + 4), average));
    Put32(bytes + 8, average);
  }
}

// The chunk offsets of a track whose samples moved by `delta` bytes, as 'co64' when they
// outgrow 32 bits.
bool ShiftChunks(Node* node, int64_t delta) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(node->bytes.data());
  if (node->bytes.size() < 16)
    return false;
  const bool wide = node->type == FourCc("co64");
  const uint32_t count = Get32(bytes + 12);
  const size_t entry = wide ? 8 : 4;
  if (node->bytes.size() < 16 + static_cast<uint64_t>(count) * entry)
    return false;
  std::vector<uint64_t> offsets(count);
  bool needWide = wide;
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t old = wide ? Get64(bytes + 16 + 8 * i) : Get32(bytes + 16 + 4 * i);
    offsets[i] = static_cast<uint64_t>(static_cast<int64_t>(old) + delta);
    needWide |= offsets[i] > std::numeric_limits<uint32_t>::max();
  }
  std::string box;
  Append32(&box, static_cast<uint32_t>(16 + count * (needWide ? 8 : 4)));
  Append32(&box, needWide ? FourCc("co64") : FourCc("stco"));
  Append32(&box, 0);
  Append32(&box, count);
  for (uint64_t offset : offsets) {
    if (needWide)
      Append32(&box, static_cast<uint32_t>(offset >> 32));
    Append32(&box, static_cast<uint32_t>(offset));
  }
  node->type = needWide ? FourCc("co64") : FourCc("stco");
  node->bytes = std::move(box);
  return true;
}

uint64_t SizeOf(const Node& node, const std::vector<SampleTables>& tables) {
  if (node.tables >= 0)
    return tables[node.tables].Size();
  if (!node.container)
    return node.bytes.size();
  uint64_t size = 8;
  for (const Node& child : node.children)
    size += SizeOf(child, tables);
  return size;
}

// Writes the node, leaving room for the tables, whose offsets go to *places.
void Emit(const Node& node,
          const std::vector<SampleTables>& tables,
          FileWriter* out,
          std::vector<uint64_t>* places) {
  if (node.tables >= 0) {
    (*places)[node.tables] = out->Position();
    out->Skip(tables[node.tables].Size());
  } else if (!node.container) {
    out->Write(node.bytes.data(), node.bytes.size());
  } else {
    out->Write32(static_cast<uint32_t>(SizeOf(node, tables)));
    out->Write32(node.type);
    for (const Node& child : node.children)
      Emit(child, tables, out, places);
  }
}

// The file's 'ftyp', its initial 'moov' and the sample defaults of its tracks.
bool ReadStart(const PositionedFile& file,
               uint64_t end,
               uint32_t tracks,
               uint64_t* fragments,
               std::map<uint32_t, TrackDefaults>* defaults,
               std::string* error) {
  Box ftyp, moov;
  if (!BoxInFile(file, end, 0, &ftyp) || ftyp.type != FourCc("ftyp") ||
      !BoxInFile(file, end, ftyp.end(), &moov) || moov.type != FourCc("moov") ||
      moov.size > kLargestInitialMoov) {
    *error = "it does not begin with the file type and the index of a fragmented MP4";
    return false;
  }
  std::string bytes(moov.size, '\0');
  std::vector<Box> children, extends;
  if (!file.ReadAt(moov.offset, bytes.data(), bytes.size())) {
    *error = "its index cannot be read";
    return false;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  if (!Children(data, moov.header, moov.size, &children)) {
    *error = "its index is broken";
    return false;
  }
  for (const Box& child : children) {
    if (child.type != FourCc("mvex") || !Children(data, child.payload(), child.end(), &extends))
      continue;
    for (const Box& trex : extends) {
      if (trex.type != FourCc("trex") || trex.size < 32)
        continue;
      const uint8_t* fields = data + trex.payload() + 4;
      (*defaults)[Get32(fields)] = TrackDefaults{Get32(fields + 4), Get32(fields + 8),
                                                 Get32(fields + 12), Get32(fields + 16)};
    }
  }
  for (uint32_t id = 1; id <= tracks; ++id) {
    if (defaults->count(id) == 0) {
      *error = "it is not fragmented: track " + std::to_string(id) + " has no fragment defaults";
      return false;
    }
  }
  // Only the recorded tracks are read back; the others' samples live on in the skeleton.
  for (auto it = defaults->begin(); it != defaults->end();)
    it = it->first > tracks ? defaults->erase(it) : std::next(it);
  *fragments = moov.end();
  return true;
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

bool FinishRegularMp4(PositionedFile* output,
                      const IndexSkeleton& skeleton,
                      const std::vector<int64_t>& samples,
                      FinishReport* report,
                      std::string* error) {
  PositionedFile& file = *output;
  if (!file.IsRegular()) {
    *error = "it is not a regular file";
    return false;
  }
  const uint64_t end = static_cast<uint64_t>(std::max<int64_t>(file.Size(), 0));
  const auto tracks = static_cast<uint32_t>(samples.size());
  uint64_t fragments = 0;
  std::map<uint32_t, TrackDefaults> defaults;
  if (!ReadStart(file, end, tracks, &fragments, &defaults, error))
    return false;
  if (skeleton.ftyp.size() + kLargeSizeHeader > fragments) {
    *error = "its start has no room for the regular header";
    return false;
  }

  // The skeleton, with its recorded tracks' tables to be filled in.
  Node moov;
  Box box;
  const auto* skeletonBytes = reinterpret_cast<const uint8_t*>(skeleton.moov.data());
  if (!BoxAt(skeletonBytes, skeleton.moov.size(), 0, &box) || box.type != FourCc("moov") ||
      !Parse(skeleton.moov, box, &moov)) {
    *error = "the new index is broken";
    return false;
  }
  const uint64_t tailBox = skeleton.tail.empty() ? 0 : 8 + skeleton.tail.size();
  const int64_t shift = static_cast<int64_t>(end + 8) - static_cast<int64_t>(skeleton.tailOffset);
  std::vector<SampleTables> tables(tracks);
  std::vector<Node*> recorded(tracks, nullptr);
  for (Node& trak : moov.children) {
    if (trak.type != FourCc("trak"))
      continue;
    Node* stbl = SampleTable(&trak);
    const uint32_t id = TrackId(&trak);
    if (stbl == nullptr || id == 0) {
      *error = "the new index has a track without sample tables";
      return false;
    }
    if (id > tracks) {
      for (Node& child : stbl->children)
        if ((child.type == FourCc("stco") || child.type == FourCc("co64")) &&
            !ShiftChunks(&child, shift)) {
          *error = "the new index has broken chunk offsets";
          return false;
        }
      continue;
    }
    recorded[id - 1] = &trak;
    std::vector<Node> kept;
    for (Node& child : stbl->children) {
      if (DescribesSamples(child.type))
        continue;
      kept.push_back(std::move(child));
      if (kept.back().type == FourCc("stsd")) {
        Node place;
        place.tables = static_cast<int>(id - 1);
        kept.push_back(std::move(place));
      }
    }
    stbl->children = std::move(kept);
  }
  // The muxer leaves out a track without samples.
  for (uint32_t id = 1; id <= tracks; ++id) {
    if (recorded[id - 1] == nullptr && samples[id - 1] > 0) {
      *error = "the new index lacks track " + std::to_string(id);
      return false;
    }
  }

  // First pass: what each track's tables hold.
  FragmentWalk walk(file, fragments, end, defaults);
  if (!walk.Run([&](uint32_t id, const FragmentSample& sample) { tables[id - 1].Count(sample); },
                error))
    return false;
  report->samples = 0;
  for (uint32_t id = 1; id <= tracks; ++id) {
    SampleTables& track = tables[id - 1];
    track.FinishCounting();
    if (static_cast<int64_t>(track.Samples()) != samples[id - 1]) {
      *error = "track " + std::to_string(id) + " holds " + std::to_string(track.Samples()) +
               " samples where " + std::to_string(samples[id - 1]) + " were written";
      return false;
    }
    report->samples += samples[id - 1];
    if (recorded[id - 1] == nullptr)
      continue;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    Node* stbl = SampleTable(recorded[id - 1]);
    Node* stsd = Child(stbl, FourCc("stsd"));
    if (stsd != nullptr && MediaTime(recorded[id - 1], &timescale, &duration) && duration > 0) {
      const long double rate =
          static_cast<long double>(track.SampleBytes()) * 8 * timescale / duration;
      PatchBitRates(&stsd->bytes, static_cast<uint32_t>(std::min<long double>(
                                      rate, std::numeric_limits<uint32_t>::max())));
    }
  }
  const uint64_t moovSize = SizeOf(moov, tables);
  if (moovSize > std::numeric_limits<uint32_t>::max()) {
    *error = "its index would outgrow 4 GiB";
    return false;
  }

  // After the last fragment: the skeleton's own samples, then the index.
  FileWriter out(&file, end);
  if (tailBox > 0) {
    out.Write32(static_cast<uint32_t>(tailBox));
    out.Write32(FourCc("mdat"));
    out.Write(skeleton.tail.data(), skeleton.tail.size());
  }
  std::vector<uint64_t> places(tracks, 0);
  Emit(moov, tables, &out, &places);
  bool written = out.Flush();
  for (uint32_t id = 1; id <= tracks && written; ++id)
    if (recorded[id - 1] != nullptr)
      tables[id - 1].StartWriting(&file, places[id - 1]);
  written = written && walk.Run([&](uint32_t id,
                                    const FragmentSample& sample) { tables[id - 1].Write(sample); },
                                error);
  for (uint32_t id = 1; id <= tracks; ++id)
    if (recorded[id - 1] != nullptr)
      written &= tables[id - 1].FinishWriting();
  // Everything the new header will point at is on the disk before the header is.
  if (!written || !file.Sync()) {
    if (error->empty())
      *error = SystemError("writing its index failed");
    if (!file.Truncate(end))
      *error += "; and the unfinished index could not be taken off";
    return false;
  }

  // The old index is blanked with the same write: nothing is left of it to mislead a tool
  // that looks through the media data.
  std::string header = skeleton.ftyp;
  Append32(&header, 1);
  Append32(&header, FourCc("mdat"));
  const uint64_t mediaSize = end - skeleton.ftyp.size();
  Append32(&header, static_cast<uint32_t>(mediaSize >> 32));
  Append32(&header, static_cast<uint32_t>(mediaSize));
  header.resize(fragments, '\0');
  if (!file.WriteAt(0, header.data(), header.size())) {
    *error = SystemError("writing its regular header failed");
    if (!file.Truncate(end))
      *error += "; and the unfinished index could not be taken off";
    return false;
  }
  report->moovBytes = moovSize;
  return true;
}

}  // namespace sorvo::mp4
