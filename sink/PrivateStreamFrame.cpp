#include "sink/PrivateStreamFrame.h"

#include <algorithm>
#include <cstring>

namespace sorvo {
namespace {

bool IsSpecial(uint8_t b) { return b == kFrameStart || b == kFrameEscape || b == kFrameEnd; }

size_t Stuff(uint8_t* dst, size_t at, uint8_t b) {
  if (IsSpecial(b)) dst[at++] = kFrameEscape;
  dst[at++] = b;
  return at;
}

size_t StuffLe32(uint8_t* dst, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at = Stuff(dst, at, static_cast<uint8_t>(value >> (8 * i)));
  return at;
}

// Reads stuffed bytes from a bounded span; a bare start or end marker is damage.
class Unstuffer {
 public:
  Unstuffer(const uint8_t* data, size_t size, size_t at) : m_data(data), m_size(size), m_at(at) {}

  ParseResult Next(uint8_t* b) {
    if (m_at >= m_size) return ParseResult::kNeedMore;
    uint8_t c = m_data[m_at++];
    if (c == kFrameEscape) {
      if (m_at >= m_size) return ParseResult::kNeedMore;
      c = m_data[m_at++];
      if (!IsSpecial(c)) return ParseResult::kDamaged;
    } else if (IsSpecial(c)) {
      return ParseResult::kDamaged;
    }
    *b = c;
    return ParseResult::kOk;
  }

  ParseResult Le32(uint32_t* value) {
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      uint8_t b;
      ParseResult r = Next(&b);
      if (r != ParseResult::kOk) return r;
      *value |= static_cast<uint32_t>(b) << (8 * i);
    }
    return ParseResult::kOk;
  }

  size_t at() const { return m_at; }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at;
};

}  // namespace

size_t PackFrame(uint8_t* dst, const uint8_t* src, size_t n) {
  dst[0] = dst[1] = kFrameStart;
  std::memset(dst + 2, 0, 8);
  size_t at = StuffLe32(dst, 10, static_cast<uint32_t>(n));
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    sum = static_cast<uint8_t>(sum + src[i]);
    at = Stuff(dst, at, src[i]);
  }
  at = Stuff(dst, at, sum);
  dst[at++] = kFrameEnd;
  // Four stuffed bytes take at most 8, so the total length fits in its zeroed field.
  StuffLe32(dst, 2, static_cast<uint32_t>(at));
  return at;
}

size_t PackRecord(uint8_t* dst, const uint8_t* src, size_t n) {
  // The frame goes in behind the block's place; its first two bytes then move in front.
  const size_t frameLength = PackFrame(dst + kRecordBlockSize, src, n);
  dst[0] = dst[kRecordBlockSize];
  dst[1] = dst[kRecordBlockSize + 1];
  RecordBlock(static_cast<uint32_t>(frameLength), dst + 2);
  return frameLength + kRecordBlockSize;
}

void RecordBlock(uint32_t frameLength, uint8_t block[8]) {
  const uint32_t recordLength = frameLength + 8;
  int t = 20;
  uint8_t sum = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = static_cast<uint8_t>(recordLength >> (8 * i));
    sum = static_cast<uint8_t>(sum + b);
    if (IsSpecial(b)) ++t;
  }
  if (IsSpecial(sum)) ++t;
  std::memset(block, 0, 8);
  block[0] = block[1] = kFrameStart;
  block[2] = static_cast<uint8_t>(t);
}

ParseResult ParseRecord(const uint8_t* data, size_t size, ParsedRecord* out) {
  // C0 C0, the 8-byte block, then the frame from its third byte on.
  if (size < 10) return ParseResult::kNeedMore;
  if (data[0] != kFrameStart || data[1] != kFrameStart || data[2] != kFrameStart ||
      data[3] != kFrameStart)
    return ParseResult::kDamaged;

  // The frame as PackFrame wrote it is data[0..1] followed by data[10..]; its index i >= 2
  // lies at i + 8 in the record.
  const size_t shift = 8;
  Unstuffer lengthField(data, size < 18 ? size : 18, 10);
  uint32_t frameLength = 0;
  ParseResult r = lengthField.Le32(&frameLength);
  if (r != ParseResult::kOk) return size < 18 ? ParseResult::kNeedMore : r;
  // Four unstuffed bytes may end the field early: the zero padding up to byte 18 may then
  // still be to come.
  for (size_t i = lengthField.at(); i < 18; ++i) {
    if (i >= size) return ParseResult::kNeedMore;
    if (data[i] != 0) return ParseResult::kDamaged;
  }
  // The smallest frame (no payload) has 16 bytes.
  if (frameLength < 16) return ParseResult::kDamaged;

  uint8_t block[8];
  RecordBlock(frameLength, block);
  if (std::memcmp(block, data + 2, 8) != 0) return ParseResult::kDamaged;

  const size_t recordLength = static_cast<size_t>(frameLength) + shift;
  const bool whole = size >= recordLength;
  Unstuffer body(data, whole ? recordLength : size, 10 + shift);
  uint32_t n = 0;
  if ((r = body.Le32(&n)) != ParseResult::kOk) return whole ? ParseResult::kDamaged : r;
  // Each payload byte takes one or two bytes of the frame.
  if (n > frameLength) return ParseResult::kDamaged;
  // The lengths are not trusted yet: the payload grows with the bytes actually unstuffed,
  // so that a damaged length cannot make a huge allocation.
  std::vector<uint8_t> payload;
  payload.reserve(std::min<size_t>(n, size - body.at()));
  uint8_t sum = 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t b;
    if ((r = body.Next(&b)) != ParseResult::kOk) return whole ? ParseResult::kDamaged : r;
    payload.push_back(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  uint8_t checksum;
  if ((r = body.Next(&checksum)) != ParseResult::kOk) return whole ? ParseResult::kDamaged : r;
  if (!whole) return ParseResult::kNeedMore;
  if (checksum != sum || body.at() != recordLength - 1 || data[recordLength - 1] != kFrameEnd)
    return ParseResult::kDamaged;

  out->payload = std::move(payload);
  out->recordLength = recordLength;
  return ParseResult::kOk;
}

}  // namespace sorvo
