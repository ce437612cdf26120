// The byte-stuffed framing of the private stream file.
//
// A frame is: C0 C0, the frame's total length T as four stuffed little-endian bytes padded
// with zeros to 8 bytes, the payload length as four stuffed bytes, the stuffed payload, the
// stuffed 8-bit sum of the payload, CF. Stuffing writes CA before any C0, CA or CF.
// A record in the file is the frame with an 8-byte block (C0 C0 t 0 0 0 0 0) inserted after
// its first two bytes, T + 8 bytes in all. Pure functions; any thread. They are exported:
// programs outside the library read (and may write) these files too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/SorvoExport.h"

namespace sorvo {

constexpr uint8_t kFrameStart = 0xC0;
constexpr uint8_t kFrameEscape = 0xCA;
constexpr uint8_t kFrameEnd = 0xCF;

// The largest frame that PackFrame can make of n payload bytes.
constexpr size_t MaxFrameSize(size_t n) { return 2 + 8 + 8 + 2 * n + 2 + 1; }

// Frames `n` bytes of `src` into `dst`, which holds at least MaxFrameSize(n) bytes.
// Returns T, the frame's length.
SORVO_EXPORT size_t PackFrame(uint8_t* dst, const uint8_t* src, size_t n);

// The 8-byte block a record carries after the frame's first two bytes, for a frame of
// length T.
SORVO_EXPORT void RecordBlock(uint32_t frameLength, uint8_t block[8]);

constexpr size_t kRecordBlockSize = 8;

// The largest record that PackRecord can make of n payload bytes.
constexpr size_t MaxRecordSize(size_t n) { return MaxFrameSize(n) + kRecordBlockSize; }

// Writes the whole record of `n` bytes of `src` into `dst`, which holds at least
// MaxRecordSize(n) bytes, so that a writer can hand it to the file in one piece.
// Returns the record's length, T + 8.
SORVO_EXPORT size_t PackRecord(uint8_t* dst, const uint8_t* src, size_t n);

// Result of reading one record back.
struct ParsedRecord {
  std::vector<uint8_t> payload;  // unstuffed payload
  size_t recordLength = 0;       // bytes the record took in the stream
};

enum class ParseResult {
  kOk,          // a whole, consistent record
  kNeedMore,    // the bytes end inside the record
  kDamaged,     // framing, lengths or checksum do not agree
};

// Reads the record that starts at `data` (its first byte must be the start of a record).
SORVO_EXPORT ParseResult ParseRecord(const uint8_t* data, size_t size, ParsedRecord* out);

}  // namespace sorvo
