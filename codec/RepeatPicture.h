// The coded MPEG-4 Part 2 picture that shows the picture before it again: a P-VOP whose
// macroblocks are all "not coded", a bit each, so that a decoder copies its reference
// unchanged. A stream keeps one picture in every slot of its frame-rate grid with it where
// a picture was lost, at a cost of a few hundred bytes and no coding work.
//
// It follows the headers FFEncoder's codec writes (rectangular, progressive, 5-bit
// quantiser, no sprites, no data partitioning, a time increment of as many bits as the
// frame rate needs). Its time fields count from the picture before it, as the format's
// decoders count: a second boundary passed in a repeat moves the decoder's time base on,
// while the codec still counts from its own last picture, so the picture coded after such a
// run must be a key frame (its group-of-VOP header sets the time base again):
// NeedsKeyAfter says when.
//
// Threads: a value; the encoder that owns it calls it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvo {

class RepeatPicture {
 public:
  // Lays out the pictures of `width` x `height` at `frameRate` pictures a second.
  void Reset(int width, int height, int frameRate);
  // The coded picture for slot `slot`, coming after the picture of slot `previous`; valid
  // until the next call.
  const std::vector<uint8_t>& Build(int64_t slot, int64_t previous);
  // Whether the codec's next picture, at a slot after `lastRepeat`, must be a key frame
  // when the codec's own last picture was at `lastCoded`.
  bool NeedsKeyAfter(int64_t lastRepeat, int64_t lastCoded) const {
    return Second(lastRepeat) != Second(lastCoded);
  }

 private:
  int64_t Second(int64_t slot) const { return slot / m_frameRate; }

  int m_frameRate = 25;
  int m_timeBits = 5;  // bits of the time increment: what the codec writes for the rate
  int64_t m_macroblocks = 0;
  std::vector<uint8_t> m_bytes;
};

}  // namespace sorvo
