#include "tools/common/Mpeg4Bitstream.h"

namespace sorvo::tools {
namespace {

constexpr uint8_t kVopStartCode = 0xB6;
constexpr uint8_t kGovStartCode = 0xB3;

// Offset of the first 00 00 01 B6, or `size` when there is none.
size_t FindPictureStart(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == kVopStartCode)
      return i;
  }
  return size;
}

}  // namespace

std::vector<uint8_t> Mpeg4DecoderConfig(const uint8_t* data, size_t size) {
  const size_t picture = FindPictureStart(data, size);
  if (picture == size || picture < 4)
    return {};
  // A group of VOPs header belongs to its pictures (it carries their time), not to the
  // stream's configuration.
  size_t end = picture;
  for (size_t i = 0; i + 3 < picture; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == kGovStartCode) {
      end = i;
      break;
    }
  }
  if (end < 4)
    return {};
  return std::vector<uint8_t>(data, data + end);
}

Mpeg4PictureType Mpeg4FirstPictureType(const uint8_t* data, size_t size) {
  const size_t picture = FindPictureStart(data, size);
  if (picture + 4 >= size)
    return Mpeg4PictureType::kNone;
  // vop_coding_type: the two bits after the start code.
  switch (data[picture + 4] >> 6) {
    case 0:
      return Mpeg4PictureType::kIntra;
    case 1:
      return Mpeg4PictureType::kPredicted;
    case 2:
      return Mpeg4PictureType::kBidirectional;
    default:
      return Mpeg4PictureType::kSprite;
  }
}

}  // namespace sorvo::tools
