#include "tools/recover/WavRepair.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace sorvo::tools {
namespace {

constexpr size_t kRiffHeader = 12;  // "RIFF", size, "WAVE"
constexpr size_t kChunkHeader = 8;
constexpr size_t kRiffSizeField = 4;

uint32_t Little32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

int Little16(const uint8_t* data) {
  return data[0] | data[1] << 8;
}

void PutLittle32(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<uint8_t>(value >> (8 * i));
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

bool PutField(int fd, size_t offset, uint32_t value) {
  uint8_t bytes[4];
  PutLittle32(value, bytes);
  return pwrite(fd, bytes, sizeof(bytes), static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(sizeof(bytes));
}

}  // namespace

double WavLayout::Seconds() const {
  return blockAlign > 0 && sampleRate > 0
             ? static_cast<double>(goodDataSize / blockAlign) / sampleRate
             : 0;
}

bool LooksLikeWav(const uint8_t* data, size_t size) {
  return size >= kRiffHeader && std::memcmp(data, "RIFF", 4) == 0 &&
         std::memcmp(data + 8, "WAVE", 4) == 0;
}

WavLayout ReadWavLayout(const uint8_t* data, size_t size) {
  WavLayout layout;
  if (!LooksLikeWav(data, size)) {
    layout.problem = "it has no RIFF/WAVE header";
    return layout;
  }
  layout.riffSize = Little32(data + kRiffSizeField);
  bool haveFormat = false;
  for (size_t at = kRiffHeader; at + kChunkHeader <= size;) {
    const uint32_t chunkSize = Little32(data + at + 4);
    if (std::memcmp(data + at, "data", 4) == 0) {
      if (!haveFormat) {
        layout.problem = "its data chunk comes before its format chunk";
        return layout;
      }
      layout.dataSizeField = at + 4;
      layout.dataStart = at + kChunkHeader;
      layout.dataSize = chunkSize;
      break;
    }
    // Chunks ahead of the data were written whole before the PCM began.
    if (chunkSize > size - at - kChunkHeader)
      break;
    if (std::memcmp(data + at, "fmt ", 4) == 0 && chunkSize >= 16) {
      const uint8_t* format = data + at + kChunkHeader;
      layout.formatTag = Little16(format);
      layout.channels = Little16(format + 2);
      layout.sampleRate = static_cast<int>(Little32(format + 4));
      layout.blockAlign = Little16(format + 12);
      layout.bitsPerSample = Little16(format + 14);
      haveFormat = true;
    }
    at += kChunkHeader + chunkSize + (chunkSize & 1);
  }
  if (layout.dataStart == 0) {
    layout.problem = haveFormat ? "it has no data chunk" : "it has no format chunk";
    return layout;
  }
  if (layout.blockAlign <= 0 || layout.channels <= 0 || layout.sampleRate <= 0) {
    layout.problem = "its format chunk describes no sound (channels, rate or block size 0)";
    return layout;
  }
  // Whole sample frames only, and no more than the 32-bit sizes can count.
  const uint64_t most = std::numeric_limits<uint32_t>::max() - (layout.dataStart - 8) - 1;
  uint64_t pcm = size - layout.dataStart;
  if (pcm > most) {
    pcm = most;
    layout.tooLong = true;
  }
  const uint64_t frames = pcm / static_cast<uint64_t>(layout.blockAlign);
  layout.goodDataSize = static_cast<uint32_t>(frames * static_cast<uint64_t>(layout.blockAlign));
  // An odd data chunk is followed by a pad byte, which the RIFF size counts.
  layout.goodRiffSize =
      static_cast<uint32_t>(layout.dataStart - 8 + layout.goodDataSize + (layout.goodDataSize & 1));
  return layout;
}

bool WriteRepairedWav(const uint8_t* data,
                      const WavLayout& layout,
                      const std::string& path,
                      std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string header(reinterpret_cast<const char*>(data), layout.dataStart);
  auto* bytes = reinterpret_cast<uint8_t*>(header.data());
  PutLittle32(layout.goodRiffSize, bytes + kRiffSizeField);
  PutLittle32(layout.goodDataSize, bytes + layout.dataSizeField);
  const uint8_t pad = 0;
  const bool written = WriteAll(fd, bytes, header.size()) &&
                       WriteAll(fd, data + layout.dataStart, layout.goodDataSize) &&
                       ((layout.goodDataSize & 1) == 0 || WriteAll(fd, &pad, 1));
  const int saved = errno;
  if (close(fd) != 0 || !written) {
    *error = "writing " + path + " failed: " + std::strerror(written ? errno : saved);
    return false;
  }
  return true;
}

bool RepairWavInPlace(const WavLayout& layout, const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot open " + path + " for writing: " + std::strerror(errno);
    return false;
  }
  const bool written = PutField(fd, kRiffSizeField, layout.goodRiffSize) &&
                       PutField(fd, layout.dataSizeField, layout.goodDataSize) && fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0 || !written) {
    *error = "writing " + path + " failed: " + std::strerror(written ? errno : saved);
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
