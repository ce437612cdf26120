#include "tools/recover/ElementaryWalker.h"

#include <algorithm>
#include <vector>

namespace sorvo::tools {
namespace {

// Sound is found only where its frames keep coming for a second: a muxer puts a sound frame
// among every few pictures (of up to nine cameras at up to 35 a second, some 8 pictures per
// frame of 26 ms), while an MP3 header that turns up by chance inside the pictures stands
// alone. A second of frames chained so closely is beyond chance.
constexpr double kFewestSoundSeconds = 1.0;
constexpr long long kMostPiecesBetweenSound = 16;

constexpr uint8_t kSequenceStart = 0xB0;
constexpr uint8_t kGroupStart = 0xB3;
constexpr uint8_t kObjectStart = 0xB5;
constexpr uint8_t kPictureStart = 0xB6;
constexpr uint8_t kLastLayerCode = 0x2F;  // 00-1F video objects, 20-2F video object layers

bool StartCodeAt(const uint8_t* data, size_t size, size_t at) {
  return size - at >= 4 && data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1;
}

}  // namespace

ElementaryWalker::ElementaryWalker(const uint8_t* data, size_t size, SoundRule sound)
    : m_data(data), m_size(size), m_sound(sound) {}

bool ElementaryWalker::VideoStartAt(size_t at) const {
  if (!StartCodeAt(m_data, m_size, at))
    return false;
  const uint8_t code = m_data[at + 3];
  return code == kSequenceStart || code == kObjectStart || code == kGroupStart ||
         code == kPictureStart || code <= kLastLayerCode;
}

bool ElementaryWalker::SoundFrameAt(size_t at, Mp3FrameHeader* header) const {
  if (m_sound.kind == SoundRule::Kind::kNone ||
      !ParseMp3FrameHeader(m_data + at, m_size - at, header))
    return false;
  if (m_sound.kind == SoundRule::Kind::kOneFormat && !m_sound.format.SameStream(*header))
    return false;
  if (header->length > m_size - at)
    return false;
  const size_t next = at + header->length;
  if (next == m_size || VideoStartAt(next))
    return true;
  Mp3FrameHeader following;
  return ParseMp3FrameHeader(m_data + next, m_size - next, &following) &&
         header->SameStream(following);
}

bool ElementaryWalker::CutSoundFrameAt(size_t at) const {
  Mp3FrameHeader header;
  return m_sound.kind == SoundRule::Kind::kOneFormat &&
         ParseMp3FrameHeader(m_data + at, m_size - at, &header) &&
         m_sound.format.SameStream(header) && header.length > m_size - at;
}

size_t ElementaryWalker::PictureEnd(size_t begin, bool* picture) const {
  *picture = m_data[begin + 3] == kPictureStart;
  for (size_t at = begin + 4; at < m_size; ++at) {
    const uint8_t byte = m_data[at];
    if (byte == 0 && StartCodeAt(m_data, m_size, at)) {
      // Headers lead up to their picture; after it, any start code begins the next piece.
      if (*picture)
        return at;
      if (m_data[at + 3] == kPictureStart)
        *picture = true;
      at += 3;
      continue;
    }
    Mp3FrameHeader header;
    if (byte == 0xFF && *picture && (SoundFrameAt(at, &header) || CutSoundFrameAt(at)))
      return at;
  }
  return m_size;
}

bool ElementaryWalker::Next(ElementaryPiece* piece) {
  const size_t skipFrom = m_at;
  for (; m_at < m_size; ++m_at) {
    // A sound frame cut short by the end is skipped whole: start codes inside it are noise.
    if (CutSoundFrameAt(m_at)) {
      m_at = m_size;
      break;
    }
    Mp3FrameHeader header;
    const bool video = VideoStartAt(m_at);
    if (!video && !SoundFrameAt(m_at, &header))
      continue;
    m_bytesSkipped += static_cast<long long>(m_at - skipFrom);
    piece->offset = m_at;
    if (video) {
      bool picture = false;
      const size_t end = PictureEnd(m_at, &picture);
      piece->kind = picture ? ElementaryPiece::Kind::kPicture : ElementaryPiece::Kind::kHeadersOnly;
      piece->size = end - m_at;
    } else {
      piece->kind = ElementaryPiece::Kind::kSound;
      piece->sound = header;
      piece->size = header.length;
    }
    m_at += piece->size;
    return true;
  }
  m_bytesSkipped += static_cast<long long>(m_at - skipFrom);
  return false;
}

bool FindSoundFormat(const uint8_t* data, size_t size, Mp3FrameHeader* format) {
  struct Seen {
    Mp3FrameHeader format;
    long long lastPiece = 0;
    long long run = 0;  // frames in the chain that reaches the last one
    long long longestRun = 0;
  };
  std::vector<Seen> seen;
  long long pieces = 0;
  SoundRule any;
  any.kind = SoundRule::Kind::kAnyFormat;
  ElementaryWalker walker(data, size, any);
  for (ElementaryPiece piece; walker.Next(&piece); ++pieces) {
    if (piece.kind != ElementaryPiece::Kind::kSound)
      continue;
    auto known = std::find_if(seen.begin(), seen.end(),
                              [&](const Seen& s) { return s.format.SameStream(piece.sound); });
    if (known == seen.end())
      known = seen.insert(seen.end(), Seen{piece.sound, pieces, 0, 0});
    known->run = pieces - known->lastPiece <= kMostPiecesBetweenSound + 1 ? known->run + 1 : 1;
    known->lastPiece = pieces;
    known->longestRun = std::max(known->longestRun, known->run);
  }
  auto seconds = [](const Seen& s) {
    return static_cast<double>(s.longestRun) * s.format.samples / s.format.sampleRate;
  };
  auto most = std::max_element(seen.begin(), seen.end(), [&](const Seen& a, const Seen& b) {
    return seconds(a) < seconds(b);
  });
  if (most == seen.end() || seconds(*most) < kFewestSoundSeconds)
    return false;
  *format = most->format;
  return true;
}

}  // namespace sorvo::tools
