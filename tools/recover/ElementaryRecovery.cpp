#include "tools/recover/ElementaryRecovery.h"

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <vector>

#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Headers.h"
#include "tools/common/TextTable.h"
#include "tools/recover/ElementaryWalker.h"
#include "tools/recover/VideoStreamRescue.h"

namespace sorvo::tools {
namespace {

// A file holds at most nine cameras' streams.
constexpr size_t kMostVideoStreams = 9;

struct SortedStream {
  SortedStream(int forcedRate,
               const std::string& name,
               Doubts* doubts,
               std::vector<uint8_t> headers,
               const Mpeg4Vol& layer)
      : rescue(forcedRate, name, doubts),
        config(std::move(headers)),
        vol(layer),
        clock(layer.timeResolution) {}

  // Pictures a step of `ticks` spans: one tick per picture unless the layer declares a
  // fixed increment; a layer whose resolution is no frame rate gives no measure, and every
  // picture then simply follows the last.
  int64_t Pictures(int64_t ticks) const {
    if (vol.fixedIncrement > 0)
      return std::max<int64_t>(1, (ticks + vol.fixedIncrement / 2) / vol.fixedIncrement);
    if (vol.timeResolution <= kHighestFrameRate)
      return ticks;
    return 1;
  }

  VideoStreamRescue rescue;
  std::vector<uint8_t> config;
  Mpeg4Vol vol;
  Mpeg4Clock clock;
  int64_t lastTime = 0;  // ticks of the layer's resolution
  int64_t tick = 0;      // pictures since the stream's first
  long long lastTurn = 0;
};

struct Candidate {
  SortedStream* stream = nullptr;
  Mpeg4PictureTime time;
  int64_t at = 0;  // the picture's time on this stream's clock
  int64_t pictures = 0;
  bool believed = true;
};

// Sorts the pictures of packets laid end to end into their streams, in file order. One
// thread.
class StreamSorter {
 public:
  StreamSorter(int forcedRate, RecoveryPlan* plan, ElementaryRecovery* recovery)
      : m_forcedRate(forcedRate), m_plan(plan), m_recovery(recovery) {}

  // Places one picture. `longer`, when not 0, is its size together with the MP3 frame right
  // behind it: an MP3 header met by chance inside a picture cuts the picture short, so when
  // the picture alone does not decode the longer bytes are tried. True when they were taken.
  bool Take(const uint8_t* data, size_t size, size_t longer, size_t offset);
  void Finish();

 private:
  std::vector<Candidate> CandidatesFor(const uint8_t* data,
                                       size_t size,
                                       const std::vector<uint8_t>& config);
  void Accept(const Candidate& candidate,
              const uint8_t* data,
              size_t size,
              size_t offset,
              bool key);
  bool StartStream(const uint8_t* data,
                   size_t size,
                   size_t longer,
                   size_t offset,
                   std::vector<uint8_t> config,
                   bool* tookLonger);

  int m_forcedRate;
  RecoveryPlan* m_plan;
  ElementaryRecovery* m_recovery;
  std::vector<std::unique_ptr<SortedStream>> m_streams;
  long long m_turn = 0;
};

std::vector<Candidate> StreamSorter::CandidatesFor(const uint8_t* data,
                                                   size_t size,
                                                   const std::vector<uint8_t>& config) {
  std::vector<Candidate> believed;
  std::vector<Candidate> doubtful;
  for (const auto& stream : m_streams) {
    if (!config.empty() && stream->config != config)
      continue;
    Candidate candidate;
    candidate.stream = stream.get();
    if (!ParseMpeg4PictureTime(data, size, stream->vol, &candidate.time))
      continue;
    candidate.at = stream->clock.TimeOf(candidate.time);
    const int64_t step = candidate.at - stream->lastTime;
    const int64_t longest = static_cast<int64_t>(stream->vol.timeResolution) * kLongestGapSeconds;
    candidate.pictures = step >= 1 ? stream->Pictures(step) : 0;
    if (step >= 1 && step <= longest) {
      believed.push_back(candidate);
    } else if (config.empty() || step > longest) {
      // A time that goes back or leaps ahead: not believed. A key frame whose time does
      // not move on is another camera's with the same headers.
      candidate.believed = false;
      doubtful.push_back(candidate);
    }
  }
  std::vector<Candidate>& chosen = believed.empty() ? doubtful : believed;
  std::stable_sort(chosen.begin(), chosen.end(), [](const Candidate& a, const Candidate& b) {
    if (a.believed && a.pictures != b.pictures)
      return a.pictures < b.pictures;
    return a.stream->lastTurn < b.stream->lastTurn;
  });
  return chosen;
}

void StreamSorter::Accept(const Candidate& candidate,
                          const uint8_t* data,
                          size_t size,
                          size_t offset,
                          bool key) {
  SortedStream& stream = *candidate.stream;
  if (!candidate.believed) {
    const int64_t step = candidate.at - stream.lastTime;
    const double seconds = static_cast<double>(step) / stream.vol.timeResolution;
    m_plan->doubts.Add(stream.rescue.name() + ": the picture at byte " +
                       FormatCount(static_cast<long long>(offset)) + " is timed " +
                       (step > 0 ? FormatFixed(seconds, 2) + " s after the one before it"
                                 : FormatFixed(-seconds, 2) + " s before the one before it") +
                       ": not believed, it follows that one");
  }
  if (candidate.believed) {
    stream.tick += candidate.pictures;
    stream.clock.Take(candidate.time);
    stream.lastTime = candidate.at;
  } else {
    // The stream's clock goes on one picture after its last believable time, so that the
    // pictures after this one are still placed by their own times.
    stream.tick += 1;
    stream.lastTime += std::max(1, stream.vol.fixedIncrement);
    stream.clock.TakeAt(stream.lastTime);
  }
  stream.lastTurn = m_turn;
  stream.rescue.Keep(data, size, offset, key, stream.tick);
}

bool StreamSorter::StartStream(const uint8_t* data,
                               size_t size,
                               size_t longer,
                               size_t offset,
                               std::vector<uint8_t> config,
                               bool* tookLonger) {
  Mpeg4Vol vol;
  Mpeg4PictureTime time;
  if (m_streams.size() >= kMostVideoStreams || !ParseMpeg4Vol(config.data(), config.size(), &vol) ||
      !ParseMpeg4PictureTime(data, size, vol, &time))
    return false;
  auto stream = std::make_unique<SortedStream>(
      m_forcedRate, "video stream " + std::to_string(m_streams.size() + 1), &m_plan->doubts,
      std::move(config), vol);
  *tookLonger = false;
  if (!stream->rescue.Decodes(data, size, true)) {
    if (longer == 0 || !stream->rescue.Decodes(data, longer, true))
      return false;
    *tookLonger = true;
    size = longer;
  }
  stream->clock.Take(time);
  stream->lastTime = stream->clock.TimeOf(time);
  stream->lastTurn = m_turn;
  stream->rescue.Keep(data, size, offset, true, 0);
  m_streams.push_back(std::move(stream));
  return true;
}

bool StreamSorter::Take(const uint8_t* data, size_t size, size_t longer, size_t offset) {
  ++m_turn;
  ++m_recovery->pictures;
  const bool key = Mpeg4FirstPictureType(data, size) == Mpeg4PictureType::kIntra;
  std::vector<uint8_t> config = key ? Mpeg4DecoderConfig(data, size) : std::vector<uint8_t>();
  const std::vector<Candidate> candidates = CandidatesFor(data, size, config);
  for (const size_t tried : {size, longer}) {
    if (tried == 0)
      continue;
    for (const Candidate& candidate : candidates) {
      if (candidate.stream->rescue.Decodes(data, tried, key)) {
        Accept(candidate, data, tried, offset, key);
        return tried != size;
      }
    }
  }
  bool tookLonger = false;
  if (!candidates.empty()) {
    candidates[0].stream->rescue.LeaveOut(key);
  } else if (!config.empty()) {
    if (!StartStream(data, size, longer, offset, std::move(config), &tookLonger))
      ++m_recovery->unplaced;
  } else if (m_streams.empty()) {
    ++m_recovery->beforeKeyFrame;
  } else {
    ++m_recovery->unplaced;
  }
  return tookLonger;
}

void StreamSorter::Finish() {
  for (const auto& stream : m_streams)
    m_plan->video.push_back(std::move(stream->rescue.plan()));
}

}  // namespace

ElementaryRecovery RecoverElementaryStream(const uint8_t* file,
                                           size_t begin,
                                           size_t end,
                                           bool withSound,
                                           int forcedRate,
                                           RecoveryPlan* plan) {
  ElementaryRecovery recovery;
  const uint8_t* data = file + begin;
  const size_t size = end - begin;
  SoundRule sound;
  if (withSound && FindSoundFormat(data, size, &sound.format))
    sound.kind = SoundRule::Kind::kOneFormat;
  std::vector<ElementaryPiece> pieces;
  ElementaryWalker walker(data, size, sound);
  for (ElementaryPiece piece; walker.Next(&piece);)
    pieces.push_back(piece);
  recovery.bytesSkipped = walker.bytesSkipped();

  StreamSorter sorter(forcedRate, plan, &recovery);
  for (size_t i = 0; i < pieces.size(); ++i) {
    const ElementaryPiece& piece = pieces[i];
    switch (piece.kind) {
      case ElementaryPiece::Kind::kPicture: {
        const bool soundBehind = i + 1 < pieces.size() &&
                                 pieces[i + 1].kind == ElementaryPiece::Kind::kSound &&
                                 pieces[i + 1].offset == piece.offset + piece.size;
        const size_t longer = soundBehind ? piece.size + pieces[i + 1].size : 0;
        // The MP3 frame was part of the picture: it is not sound.
        if (sorter.Take(data + piece.offset, piece.size, longer, begin + piece.offset))
          ++i;
        break;
      }
      case ElementaryPiece::Kind::kHeadersOnly:
        ++recovery.piecesWithoutPicture;
        break;
      case ElementaryPiece::Kind::kSound:
        plan->sound.format = piece.sound;
        plan->sound.frames.push_back(PlannedPacket{begin + piece.offset, piece.size,
                                                   static_cast<int64_t>(plan->sound.frames.size()),
                                                   true});
        break;
    }
  }
  sorter.Finish();
  return recovery;
}

bool LooksLikeRawStream(const uint8_t* data, size_t size) {
  if (size < 4 || data[0] != 0 || data[1] != 0 || data[2] != 1)
    return false;
  const uint8_t code = data[3];
  // Visual object sequence, visual object, video object layer, group, or a picture.
  return code == 0xB0 || code == 0xB5 || code <= 0x2F || code == 0xB3 || code == 0xB6;
}

}  // namespace sorvo::tools
