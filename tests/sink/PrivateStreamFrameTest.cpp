#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "sink/FrameFlip.h"
#include "sink/PrivateStreamFrame.h"

namespace {

using sorvo::ParsedRecord;
using sorvo::ParseResult;

std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> dst(sorvo::MaxFrameSize(payload.size()));
  dst.resize(sorvo::PackFrame(dst.data(), payload.data(), payload.size()));
  return dst;
}

// The record as the sink writes it: the frame's first two bytes, the block, the rest.
std::vector<uint8_t> Record(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame = Frame(payload);
  uint8_t block[8];
  sorvo::RecordBlock(static_cast<uint32_t>(frame.size()), block);
  std::vector<uint8_t> record(frame.size() + 8);
  std::copy(frame.begin(), frame.begin() + 2, record.begin());
  std::copy(block, block + 8, record.begin() + 2);
  std::copy(frame.begin() + 2, frame.end(), record.begin() + 10);
  return record;
}

TEST(PackFrameTest, OneBytePayloadByHand) {
  const std::vector<uint8_t> expected = {0xC0, 0xC0, 0x11, 0, 0, 0, 0, 0, 0, 0,
                                         0x01, 0,    0,    0, 0x41, 0x41, 0xCF};
  EXPECT_EQ(Frame({0x41}), expected);
}

TEST(PackFrameTest, SpecialBytesAreEscapedAndStillSummed) {
  // C0 is written CA C0 and adds C0 to the sum; the sum C0 is escaped as well.
  const std::vector<uint8_t> frame = Frame({0xC0});
  const std::vector<uint8_t> expected = {0xC0, 0xC0, 0x13, 0, 0,    0,    0,   0,   0,   0,
                                         0x01, 0,    0,    0, 0xCA, 0xC0, 0xCA, 0xC0, 0xCF};
  EXPECT_EQ(frame, expected);
  // A checksum of CF: payload 0x40 + 0x8F.
  const std::vector<uint8_t> cf = Frame({0x40, 0x8F});
  ASSERT_GE(cf.size(), 3u);
  EXPECT_EQ(cf[cf.size() - 3], 0xCA);
  EXPECT_EQ(cf[cf.size() - 2], 0xCF);
  EXPECT_EQ(cf[cf.size() - 1], 0xCF);
}

TEST(PackFrameTest, TotalLengthWithASpecialLowByteIsStuffed) {
  // T = 2 + 8 + 4 + n + 1 + 1 = 0xCA for n = 186 plain bytes.
  const std::vector<uint8_t> payload(186, 0x01);
  const std::vector<uint8_t> frame = Frame(payload);
  ASSERT_EQ(frame.size(), 0xCAu);
  const std::vector<uint8_t> lengthField(frame.begin() + 2, frame.begin() + 10);
  EXPECT_EQ(lengthField, (std::vector<uint8_t>{0xCA, 0xCA, 0, 0, 0, 0, 0, 0}));
}

TEST(PrivateStreamRecordTest, RoundTripsEveryByteValueAndAnyLength) {
  for (size_t n : {0u, 1u, 2u, 255u, 256u, 70000u}) {
    std::vector<uint8_t> payload(n);
    for (size_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 0xC0);
    const std::vector<uint8_t> record = Record(payload);
    EXPECT_EQ(record.size(), Frame(payload).size() + 8);
    ParsedRecord parsed;
    ASSERT_EQ(sorvo::ParseRecord(record.data(), record.size(), &parsed), ParseResult::kOk) << n;
    EXPECT_EQ(parsed.payload, payload);
    EXPECT_EQ(parsed.recordLength, record.size());
    // The writer's one-buffer record is the same bytes as the pieces put together.
    std::vector<uint8_t> packed(sorvo::MaxRecordSize(n));
    packed.resize(sorvo::PackRecord(packed.data(), payload.data(), n));
    EXPECT_EQ(packed, record) << n;
  }
}

TEST(PrivateStreamRecordTest, BlockCountsSpecialLengthBytes) {
  uint8_t block[8];
  sorvo::RecordBlock(17, block);  // record length 25: nothing special
  EXPECT_EQ(block[0], 0xC0);
  EXPECT_EQ(block[1], 0xC0);
  EXPECT_EQ(block[2], 20);
  sorvo::RecordBlock(0xC0 - 8, block);  // low byte C0, and the sum C0
  EXPECT_EQ(block[2], 22);
  sorvo::RecordBlock(0xCACA - 8, block);  // two CA bytes, sum 0x94
  EXPECT_EQ(block[2], 22);
}

TEST(PrivateStreamRecordTest, TruncatedAndCorruptRecordsAreNotAccepted) {
  std::vector<uint8_t> payload(300);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
  const std::vector<uint8_t> record = Record(payload);
  ParsedRecord parsed;
  for (size_t cut = 0; cut < record.size(); cut += 37)
    EXPECT_EQ(sorvo::ParseRecord(record.data(), cut, &parsed), ParseResult::kNeedMore) << cut;

  std::vector<uint8_t> flipped = record;
  flipped[40] ^= 0x01;  // a payload byte: the checksum no longer agrees
  EXPECT_EQ(sorvo::ParseRecord(flipped.data(), flipped.size(), &parsed), ParseResult::kDamaged);
  std::vector<uint8_t> noEnd = record;
  noEnd.back() = 0x00;
  EXPECT_EQ(sorvo::ParseRecord(noEnd.data(), noEnd.size(), &parsed), ParseResult::kDamaged);
  std::vector<uint8_t> badStart = record;
  badStart[0] = 0x00;
  EXPECT_EQ(sorvo::ParseRecord(badStart.data(), badStart.size(), &parsed), ParseResult::kDamaged);
}

// A length field of four plain bytes ends at byte 14; a file that ends in the zero padding
// after it is cut short, and the bytes past its end are never looked at (AddressSanitizer
// sees each cut as an exact allocation).
TEST(PrivateStreamRecordTest, CutInsideTheLengthPaddingNeedsMore) {
  const std::vector<uint8_t> record = Record(std::vector<uint8_t>(100, 1));
  ASSERT_EQ(record[10 + 4], 0);  // the field took four bytes: the padding follows
  ParsedRecord parsed;
  for (size_t cut = 10; cut <= 18; ++cut) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[cut]);
    std::copy(record.begin(), record.begin() + static_cast<long>(cut), exact.get());
    EXPECT_EQ(sorvo::ParseRecord(exact.get(), cut, &parsed), ParseResult::kNeedMore) << cut;
  }
  std::vector<uint8_t> padded(record.begin(), record.begin() + 16);
  padded[15] = 0x01;  // not padding: damage shows before the record is whole
  EXPECT_EQ(sorvo::ParseRecord(padded.data(), padded.size(), &parsed), ParseResult::kDamaged);
}

TEST(FlipRowsTest, SwapsOuterRowsAndKeepsTheMiddle) {
  // Three BGR rows of two pixels.
  std::vector<unsigned char> bgr = {1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3};
  sorvo::FlipRows(bgr.data(), static_cast<long>(bgr.size()), 3, sorvo::BytesPerPixel(PIX_FMT_BGR24), 2);
  EXPECT_EQ(bgr, (std::vector<unsigned char>{3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 1, 1, 1, 1, 1, 1}));
  std::vector<unsigned char> one = {9, 8, 7};
  sorvo::FlipRows(one.data(), 3, 1, 3, 1);
  sorvo::FlipRows(one.data(), 3, 0, 3, 1);
  EXPECT_EQ(one, (std::vector<unsigned char>{9, 8, 7}));
  // A buffer shorter than its rows is left alone rather than overrun.
  std::vector<unsigned char> shortRows = {1, 2, 3, 4};
  sorvo::FlipRows(shortRows.data(), 4, 4, 3, 1);
  EXPECT_EQ(shortRows, (std::vector<unsigned char>{1, 2, 3, 4}));
  EXPECT_EQ(sorvo::BytesPerPixel(PIX_FMT_RGBA), 4);
  EXPECT_EQ(sorvo::BytesPerPixel(PIX_FMT_YUV420P), 1);
  EXPECT_EQ(sorvo::BytesPerPixel(PIX_FMT_GRAY8), 1);
}

}  // namespace
