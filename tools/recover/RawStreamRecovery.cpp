#include "tools/recover/RawStreamRecovery.h"

#include <algorithm>

#include "tools/common/AvOwners.h"
#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {

RawStreamRecovery RecoverRawStream(const uint8_t* data, size_t size, Mp4Rebuilder* rebuilder) {
  RawStreamRecovery recovery;
  ParserOwner parser(av_parser_init(AV_CODEC_ID_MPEG4));
  CodecContextOwner context(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_MPEG4)));
  if (!parser || !context) {
    recovery.error = "the MPEG-4 parser is not available";
    return recovery;
  }
  auto take = [&](const uint8_t* piece, int length) {
    if (length <= 0) return;
    if (Mpeg4FirstPictureType(piece, static_cast<size_t>(length)) == Mpeg4PictureType::kNone) {
      ++recovery.pieces;
      return;
    }
    rebuilder->Add(piece, static_cast<size_t>(length), recovery.pictures++);
  };
  size_t at = 0;
  // The parser hands out a picture once the next one begins; a final call with no input
  // releases the last.
  for (bool done = false; !done;) {
    const int chunk = static_cast<int>(std::min<size_t>(size - at, 1 << 20));
    done = chunk == 0;
    uint8_t* piece = nullptr;
    int length = 0;
    const int used = av_parser_parse2(parser.get(), context.get(), &piece, &length,
                                      done ? nullptr : data + at, chunk, AV_NOPTS_VALUE,
                                      AV_NOPTS_VALUE, 0);
    if (used < 0) break;
    at += static_cast<size_t>(used);
    take(piece, length);
  }
  return recovery;
}

bool LooksLikeRawStream(const uint8_t* data, size_t size) {
  const size_t window = std::min<size_t>(size, 64);
  for (size_t i = 0; i + 3 < window; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t code = data[i + 3];
    // Visual object sequence, visual object, video object layer, group, or a picture.
    return code == 0xB0 || code == 0xB5 || code <= 0x2F || code == 0xB3 || code == 0xB6;
  }
  return false;
}

}  // namespace sorvo::tools
