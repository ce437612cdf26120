// What sorvo-recover reads out of a file before it decodes anything: the MP4 box layout,
// the WAV layout, the cutting of packets laid end to end into pictures and MP3 frames, the
// MPEG-4 header fields, and the sorting of pictures into their streams.
#include <cstring>

#include "fuzz/FuzzTargets.h"
#include "tools/common/Mpeg4Bitstream.h"
#include "tools/common/Mpeg4Headers.h"
#include "tools/recover/ElementaryRecovery.h"
#include "tools/recover/ElementaryWalker.h"
#include "tools/common/Mp4Layout.h"
#include "tools/recover/WavRepair.h"

namespace sorvo::fuzz {
namespace {

void CheckLayouts(const uint8_t* data, size_t size) {
  const tools::Mp4Layout mp4 = tools::ReadMp4Layout(data, size);
  if (mp4.mediaData)
    Require(mp4.dataBegin <= mp4.dataEnd && mp4.dataEnd <= size, "the media data lies in the file");
  const tools::WavLayout wav = tools::ReadWavLayout(data, size);
  if (wav.problem.empty()) {
    Require(wav.dataStart <= size && wav.goodDataSize <= size - wav.dataStart,
            "the repaired data size counts bytes that are there");
    Require(wav.goodDataSize % static_cast<uint32_t>(wav.blockAlign) == 0,
            "the repaired data holds whole sample frames");
    Require(wav.dataSizeField + 4 <= wav.dataStart, "the data size field lies in the header");
  }
}

// Every byte is in exactly one piece or skipped; pieces are what their kind says.
long long CheckPieces(const uint8_t* data, size_t size) {
  tools::SoundRule sound;
  if (tools::FindSoundFormat(data, size, &sound.format))
    sound.kind = tools::SoundRule::Kind::kOneFormat;
  tools::ElementaryWalker walker(data, size, sound);
  size_t end = 0;
  size_t covered = 0;
  long long pieces = 0;
  for (tools::ElementaryPiece piece; walker.Next(&piece);) {
    Require(piece.offset >= end && piece.size > 0 && piece.size <= size - piece.offset,
            "pieces come in order, within the bytes, without overlapping");
    end = piece.offset + piece.size;
    covered += piece.size;
    ++pieces;
    const uint8_t* bytes = data + piece.offset;
    if (piece.kind == tools::ElementaryPiece::Kind::kSound) {
      tools::Mp3FrameHeader header;
      Require(tools::ParseMp3FrameHeader(bytes, piece.size, &header) && header.length == piece.size,
              "a sound piece is one whole MP3 frame");
      continue;
    }
    Require(bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 1,
            "a video piece opens with a start code");
    tools::Mpeg4Vol vol;
    const std::vector<uint8_t> config = tools::Mpeg4DecoderConfig(bytes, piece.size);
    if (!tools::ParseMpeg4Vol(config.data(), config.size(), &vol))
      continue;
    Require(vol.width > 0 && vol.height > 0 && vol.timeResolution > 0 &&
                (1 << vol.incrementBits) >= vol.timeResolution,
            "a layer that parses has a size and a time resolution");
    tools::Mpeg4PictureTime time;
    if (tools::ParseMpeg4PictureTime(bytes, piece.size, vol, &time)) {
      Require(time.increment < vol.timeResolution, "a picture's increment lies within a second");
      tools::Mpeg4Clock clock(vol.timeResolution);
      clock.Take(time);
      Require(clock.TimeOf(time) >= 0, "picture times do not run negative");
    }
  }
  Require(covered + static_cast<size_t>(walker.bytesSkipped()) == size,
          "every byte is in a piece or skipped");
  return pieces;
}

}  // namespace

long long FuzzRecoverMedia(const uint8_t* data, size_t size) {
  CheckLayouts(data, size);
  const long long pieces = CheckPieces(data, size);
  tools::RecoveryPlan plan;
  tools::RecoverElementaryStream(data, 0, size, true, 0, &plan);
  for (const tools::VideoPlan& stream : plan.video) {
    int64_t tick = -1;
    for (const tools::PlannedPacket& packet : stream.packets) {
      Require(packet.offset <= size && packet.size <= size - packet.offset,
              "a planned picture lies in the input");
      Require(packet.tick > tick, "a stream's pictures are placed in order");
      tick = packet.tick;
    }
    Require(stream.packets.empty() || stream.packets[0].key, "a stream starts at a key frame");
  }
  return pieces;
}

}  // namespace sorvo::fuzz
