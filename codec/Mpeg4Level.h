// Which Simple Profile level an MPEG-4 Part 2 stream declares in its visual object
// sequence header (the low four bits of profile_and_level_indication).
//
// libavcodec writes level 1 whatever the picture, so a 1280 x 720 stream at 2 Mbit/s would
// claim the limits of 176 x 144 at 64 kbit/s, which a player or a hardware decoder that
// checks the level refuses. The encoder's streams use Simple Profile tools only (no
// B-frames, no quarter-pel), so Simple Profile's levels are the ones that apply.
#pragma once

namespace sorvo {

// The lowest Simple Profile level whose picture size, macroblock rate and bit rate hold a
// stream of width x height at frameRate pictures and bitRate bits per second, as libavcodec
// takes it in AVCodecContext::level: 1, 2, 3, 4 (level 4a), 5 or 6. A stream beyond level
// 6 (larger than 1280 x 720, or faster than 30 such pictures a second) fits no Simple
// level: it says 6, the nearest. Level 0 is never chosen: its limits are level 1's, and
// every Simple decoder knows level 1 while 0x08 came with a later amendment.
int Mpeg4SimpleLevel(int width, int height, int frameRate, int bitRate);

}  // namespace sorvo
