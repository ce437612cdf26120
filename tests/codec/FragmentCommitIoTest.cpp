// FragmentCommitIo on hand-made box streams, handed over in pieces as small as one byte so
// that every box header arrives cut in two somewhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

#include "codec/FragmentCommitIo.h"
#include "common/MediaProbe.h"
#include "common/TestAppDir.h"

namespace {

using sorvo::FragmentCommitIo;
using namespace sorvo::test;

void PutBigEndian(std::string* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i)
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A box of `type` with `payload` bytes of 'x'; with `large`, its size in the 64-bit field.
std::string Box(const std::string& type, size_t payload, bool large = false) {
  std::string box;
  const size_t header = large ? 16 : 8;
  PutBigEndian(&box, large ? 1 : header + payload, 4);
  box += type;
  if (large)
    PutBigEndian(&box, header + payload, 8);
  return box + std::string(payload, 'x');
}

std::vector<std::string> Types(const std::string& path) {
  std::vector<std::string> types;
  for (const Mp4Box& box : TopLevelBoxes(path))
    types.push_back(box.type);
  return types;
}

// Writes `stream` in pieces of `piece` bytes, each flushed on its own, then closes.
void WriteInPieces(const std::string& path, const std::string& stream, size_t piece) {
  AVIOContext* output = FragmentCommitIo::Open(path.c_str());
  ASSERT_NE(output, nullptr);
  for (size_t at = 0; at < stream.size(); at += piece) {
    const std::string part = stream.substr(at, piece);
    avio_write(output, reinterpret_cast<const unsigned char*>(part.data()),
               static_cast<int>(part.size()));
    avio_flush(output);
  }
  EXPECT_EQ(FragmentCommitIo::Close(&output), 0);
  EXPECT_EQ(output, nullptr);
}

TEST(FragmentCommitIoTest, AFragmentShowsItsMoofOnlyOnceItsMdatIsWhole) {
  TestAppDir dir;
  const std::string whole = Box("ftyp", 12) + Box("moov", 40) + Box("moof", 30) +
                            Box("mdat", 100, /*large=*/true) + Box("moof", 30) + Box("mdat", 5);
  // The last 'mdat' lacks one byte: the stream ended as a killed writer's would.
  const std::string cut = whole.substr(0, whole.size() - 1);
  for (size_t piece : {1, 3, 7, 64, 4096}) {
    const std::string path = dir.File("boxes" + std::to_string(piece));
    WriteInPieces(path, cut, piece);
    // Every byte lands where it was written, only the type of the last 'moof' differs.
    std::string expected = cut;
    const size_t lastMoof = whole.rfind("moof");
    expected.replace(lastMoof, 4, "free");
    EXPECT_EQ(ReadWholeFile(path), expected) << piece;
    EXPECT_EQ(Types(path), (std::vector<std::string>{"ftyp", "moov", "moof", "mdat", "free"}))
        << piece;
  }

  WriteInPieces(dir.File("whole"), whole, 5);
  EXPECT_EQ(ReadWholeFile(dir.File("whole")), whole);
}

TEST(FragmentCommitIoTest, ABrokenBoxSizeEndsTheWalkAndNothingAfterItIsTouched) {
  TestAppDir dir;
  // A box claiming to be smaller than its own header: what follows cannot be told apart
  // from its contents, so no later 'moof' is hidden or committed.
  std::string broken = Box("ftyp", 4);
  PutBigEndian(&broken, 3, 4);
  broken += "junk";
  const std::string stream = broken + Box("moof", 8) + Box("mdat", 8);
  WriteInPieces(dir.File("broken"), stream, 2);
  EXPECT_EQ(ReadWholeFile(dir.File("broken")), stream);
}

TEST(FragmentCommitIoTest, AFileThatCannotBeMadeGivesNoOutput) {
  TestAppDir dir;
  EXPECT_EQ(FragmentCommitIo::Open(dir.File("no/such/folder/file.mp4").c_str()), nullptr);
}

}  // namespace
