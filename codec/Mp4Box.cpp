#include "codec/Mp4Box.h"

#include "host/PositionedFile.h"

namespace sorvo::mp4 {

uint16_t Get16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint32_t Get24(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 16 | static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
}

uint32_t Get32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | Get24(bytes + 1);
}

uint64_t Get64(const uint8_t* bytes) {
  return static_cast<uint64_t>(Get32(bytes)) << 32 | Get32(bytes + 4);
}

void Put32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void Put64(uint8_t* out, uint64_t value) {
  Put32(out, static_cast<uint32_t>(value >> 32));
  Put32(out + 4, static_cast<uint32_t>(value));
}

void Append32(std::string* out, uint32_t value) {
  uint8_t field[4];
  Put32(field, value);
  out->append(reinterpret_cast<const char*>(field), sizeof field);
}

namespace {

// Completes `box` from the first 8 or 16 bytes of its header.
bool FromHeader(const uint8_t* header, size_t available, uint64_t end, uint64_t offset, Box* box) {
  if (available < 8)
    return false;
  box->offset = offset;
  box->type = Get32(header + 4);
  box->size = Get32(header);
  box->header = 8;
  if (box->size == 1) {
    if (available < 16)
      return false;
    box->size = Get64(header + 8);
    box->header = 16;
  } else if (box->size == 0) {
    box->size = end - offset;
  }
  return box->size >= box->header && box->size <= end - offset;
}

}  // namespace

bool BoxAt(const uint8_t* data, uint64_t end, uint64_t offset, Box* box) {
  if (offset > end)
    return false;
  const uint64_t available = end - offset;
  return FromHeader(data + offset, available < 16 ? available : 16, end, offset, box);
}

bool BoxInFile(const PositionedFile& file, uint64_t end, uint64_t offset, Box* box) {
  if (offset > end)
    return false;
  uint8_t header[16];
  const uint64_t available = end - offset < sizeof header ? end - offset : sizeof header;
  return file.ReadAt(offset, header, available) && FromHeader(header, available, end, offset, box);
}

bool Children(const uint8_t* data, uint64_t begin, uint64_t end, std::vector<Box>* children) {
  children->clear();
  for (uint64_t at = begin; at < end;) {
    Box box;
    if (!BoxAt(data, end, at, &box))
      return false;
    children->push_back(box);
    at = box.end();
  }
  return true;
}

FileWriter::FileWriter(PositionedFile* file, uint64_t offset, size_t buffer)
    : m_pFile(file), m_nOffset(offset), m_nCapacity(buffer) {
  m_buffer.reserve(buffer);
}

void FileWriter::Write(const void* data, size_t count) {
  if (m_buffer.size() + count > m_nCapacity)
    Flush();
  m_buffer.append(static_cast<const char*>(data), count);
}

void FileWriter::Write32(uint32_t value) {
  uint8_t field[4];
  Put32(field, value);
  Write(field, sizeof field);
}

void FileWriter::Write64(uint64_t value) {
  uint8_t field[8];
  Put64(field, value);
  Write(field, sizeof field);
}

void FileWriter::Skip(uint64_t count) {
  Flush();
  m_nOffset += count;
}

bool FileWriter::Flush() {
  if (!m_buffer.empty() && !m_bFailed)
    m_bFailed = !m_pFile->WriteAt(m_nOffset, m_buffer.data(), m_buffer.size());
  m_nOffset += m_buffer.size();
  m_buffer.clear();
  return !m_bFailed;
}

}  // namespace sorvo::mp4
