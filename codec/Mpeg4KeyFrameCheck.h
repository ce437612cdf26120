// Whether an MPEG-4 Part 2 stream encoded elsewhere can be recorded as it is, packet for
// packet, in place of a sink's own encoding: its key frame must carry the stream's headers
// and decode to pictures of the sink's size, at the sink's picture rate. A stream of another
// codec, size or rate would make files whose sample entry, timing and neighbours lie.
//
// Threads: any; each call stands alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvo {

// The stream headers ahead of the packet's first picture (visual object sequence, visual
// object, video object layer; a group-of-pictures header belongs to its pictures): what
// an MP4 sample entry keeps. Empty when the packet holds no headers ahead of a picture.
std::vector<uint8_t> Mpeg4StreamHeaders(const uint8_t* data, size_t size);

// Decodes `keyFrame` on its own and compares it with what a sink records. Empty when it
// matches, with the stream's headers in `headers`; else why not, in words for a log.
std::string CheckMpeg4KeyFrame(const uint8_t* keyFrame,
                               size_t size,
                               int width,
                               int height,
                               int frameRate,
                               std::vector<uint8_t>* headers);

}  // namespace sorvo
