// Reading and writing the box structure of an MP4 file: big-endian fields, box headers in
// memory and in a file, and a buffered writer that puts bytes at chosen offsets of a file.
//
// Threads: any; each object belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvo {
class PositionedFile;
}

namespace sorvo::mp4 {

constexpr uint32_t FourCc(const char (&name)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(name[3]));
}

uint16_t Get16(const uint8_t* bytes);
uint32_t Get24(const uint8_t* bytes);
uint32_t Get32(const uint8_t* bytes);
uint64_t Get64(const uint8_t* bytes);
void Put32(uint8_t* out, uint32_t value);
void Put64(uint8_t* out, uint64_t value);
// Appends the field to `out`.
void Append32(std::string* out, uint32_t value);

struct Box {
  uint32_t type = 0;
  uint64_t offset = 0;  // of its first header byte
  uint64_t size = 0;    // the whole box, header included
  uint32_t header = 0;  // 8, or 16 with a 64-bit size

  uint64_t end() const { return offset + size; }
  uint64_t payload() const { return offset + header; }
};

// The box at `offset` of bytes that end at `end` (`data` holds them from offset 0). A size
// of 0 runs to `end`. False when no whole box header or box fits.
bool BoxAt(const uint8_t* data, uint64_t end, uint64_t offset, Box* box);
// The same for the bytes of `file`.
bool BoxInFile(const PositionedFile& file, uint64_t end, uint64_t offset, Box* box);
// The boxes that tile data[begin, end), a box's payload; false when they do not tile it.
bool Children(const uint8_t* data, uint64_t begin, uint64_t end, std::vector<Box>* children);

// Writes bytes to consecutive offsets of a file from `offset` on, through a buffer. The first
// failure is kept; Flush reports it.
class FileWriter {
 public:
  FileWriter(PositionedFile* file, uint64_t offset, size_t buffer = 16384);
  FileWriter(FileWriter&&) = default;
  FileWriter& operator=(FileWriter&&) = default;

  void Write(const void* data, size_t count);
  void Write32(uint32_t value);
  void Write64(uint64_t value);
  // Leaves `count` bytes as they are in the file.
  void Skip(uint64_t count);
  // Where the next byte goes.
  uint64_t Position() const { return m_nOffset + m_buffer.size(); }
  bool Flush();

 private:
  PositionedFile* m_pFile;
  uint64_t m_nOffset;  // of the first buffered byte
  size_t m_nCapacity;
  std::string m_buffer;
  bool m_bFailed = false;
};

}  // namespace sorvo::mp4
