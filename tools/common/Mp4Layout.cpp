#include "tools/common/Mp4Layout.h"

#include <cstring>
#include <initializer_list>

namespace sorvo::tools {
namespace {

uint64_t ReadBig(const uint8_t* data, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i)
    value = (value << 8) | data[i];
  return value;
}

struct Box {
  char type[5] = {};
  size_t header = 0;
  uint64_t size = 0;  // 0: to the end of the file
};

// The box header at `at`; false when there is none (too short, or a type that is not four
// printable characters).
bool ReadBox(const uint8_t* data, size_t size, size_t at, Box* box) {
  if (size - at < 8)
    return false;
  for (int i = 0; i < 4; ++i) {
    const uint8_t c = data[at + 4 + i];
    if (c < 0x20 || c > 0x7E)
      return false;
    box->type[i] = static_cast<char>(c);
  }
  box->size = ReadBig(data + at, 4);
  box->header = 8;
  if (box->size == 1) {
    if (size - at < 16)
      return false;
    box->size = ReadBig(data + at + 8, 8);
    box->header = 16;
    if (box->size < 16)
      return false;
  } else if (box->size != 0 && box->size < 8) {
    return false;
  }
  return true;
}

bool Is(const Box& box, const char* type) {
  return std::memcmp(box.type, type, 4) == 0;
}

// The top-level boxes a writer puts around or after its media data.
bool IsKnownTopLevel(const Box& box) {
  for (const char* type : {"ftyp", "free", "skip", "wide", "mdat", "moov", "moof", "mfra", "meta",
                           "udta", "uuid", "sidx", "styp", "pdin"})
    if (Is(box, type))
      return true;
  return false;
}

bool HasChild(const uint8_t* data, size_t begin, size_t end, const char* type) {
  for (size_t at = begin; at < end;) {
    Box box;
    if (!ReadBox(data, end, at, &box) || box.size == 0 || box.size > end - at)
      return false;
    if (Is(box, type))
      return true;
    at += static_cast<size_t>(box.size);
  }
  return false;
}

}  // namespace

Mp4Layout ReadMp4Layout(const uint8_t* data, size_t size) {
  Mp4Layout layout;
  Box first;
  if (!ReadBox(data, size, 0, &first) || !IsKnownTopLevel(first))
    return layout;
  layout.boxes = true;
  for (size_t at = 0; at < size;) {
    Box box;
    if (!ReadBox(data, size, at, &box) || !IsKnownTopLevel(box)) {
      // Bytes where a box should start: a provisional mdat size fell short of the data.
      if (layout.mediaData && !layout.index && layout.dataEnd == at) {
        layout.dataEnd = size;
        layout.sizeProvisional = true;
      }
      break;
    }
    const bool toEnd = box.size == 0 || box.size > size - at;
    if (Is(box, "mdat") && !layout.mediaData) {
      layout.mediaData = true;
      layout.dataBegin = at + box.header;
      layout.dataEnd = toEnd ? size : at + static_cast<size_t>(box.size);
      layout.sizeProvisional = toEnd;
    } else if (Is(box, "moov") && !toEnd) {
      layout.index = true;
      if (HasChild(data, at + box.header, at + static_cast<size_t>(box.size), "mvex"))
        layout.fragmented = true;
    } else if (Is(box, "moof")) {
      layout.fragmented = true;
    }
    if (toEnd)
      break;
    at += static_cast<size_t>(box.size);
  }
  return layout;
}

}  // namespace sorvo::tools
