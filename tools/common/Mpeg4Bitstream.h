// What the programs need to know about an MPEG-4 Part 2 packet without decoding it. Every
// key frame the library encodes begins with the stream's headers (visual object sequence,
// visual object, video object layer), then the picture (VOP).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvo::tools {

// The stream headers ahead of the packet's first picture (and ahead of a group of VOPs
// header, which belongs to the pictures): the decoder configuration an MP4 file keeps in
// its 'esds' box. Empty when the packet carries no headers.
std::vector<uint8_t> Mpeg4DecoderConfig(const uint8_t* data, size_t size);

enum class Mpeg4PictureType { kNone, kIntra, kPredicted, kBidirectional, kSprite };

// The coding type of the packet's first picture; kNone when it holds no picture.
Mpeg4PictureType Mpeg4FirstPictureType(const uint8_t* data, size_t size);

}  // namespace sorvo::tools
