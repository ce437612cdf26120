// Cuts MPEG-4 Part 2 packets laid end to end (a raw stream file, or the media data of an
// MP4 that lost its index) into pieces: each picture with the headers ahead of it and,
// where sound is mixed in, each MP3 frame. A picture runs to the next start code or to the
// next MP3 frame; an MP3 frame's length is in its header, and a frame counts only where the
// next piece begins right behind it (an MP3 header can appear by chance inside a picture,
// and picture start codes inside an MP3 frame, which is skipped whole). Bytes that begin no
// piece are skipped up to the next one, and so is an MP3 frame the end of the bytes cuts
// short. One thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/recover/Mp3FrameHeader.h"

namespace sorvo::tools {

struct ElementaryPiece {
  enum class Kind { kPicture, kHeadersOnly, kSound };
  Kind kind = Kind::kPicture;
  size_t offset = 0;
  size_t size = 0;
  Mp3FrameHeader sound;  // kSound only
};

// Which MP3 frames may lie between the pictures.
struct SoundRule {
  enum class Kind { kNone, kAnyFormat, kOneFormat };
  Kind kind = Kind::kNone;
  Mp3FrameHeader format;  // kOneFormat: frames must be of this stream
};

class ElementaryWalker {
 public:
  ElementaryWalker(const uint8_t* data, size_t size, SoundRule sound);

  // The next piece; false at the end of the bytes.
  bool Next(ElementaryPiece* piece);

  long long bytesSkipped() const { return m_bytesSkipped; }

 private:
  bool VideoStartAt(size_t at) const;
  bool SoundFrameAt(size_t at, Mp3FrameHeader* header) const;
  // An MP3 frame of the stream's format that the end of the bytes cuts short.
  bool CutSoundFrameAt(size_t at) const;
  size_t PictureEnd(size_t begin, bool* picture) const;

  const uint8_t* m_data;
  size_t m_size;
  SoundRule m_sound;
  size_t m_at = 0;
  long long m_bytesSkipped = 0;
};

// The format of the sound mixed in with the pictures, if there is any: an MP3 format whose
// frames keep coming among the pictures, a few pictures apart at most, for at least a
// second (an MP3 header followed by the next piece turns up by chance now and then inside a
// run of pictures, but alone).
bool FindSoundFormat(const uint8_t* data, size_t size, Mp3FrameHeader* format);

}  // namespace sorvo::tools
