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
constexpr uint32_t kWideSizesBytes = 28;  // 'ds64': RIFF size, data size, frames, table length
constexpr uint32_t kSeeWideSizes = 0xFFFFFFFF;
// The lowest rate any recorder uses; below it a header is damaged, not a recording.
constexpr int kLowestRate = 1000;
constexpr int kHighestRate = 768000;

uint32_t Little32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
}

uint64_t Little64(const uint8_t* data) {
  return Little32(data) | static_cast<uint64_t>(Little32(data + 4)) << 32;
}

int Little16(const uint8_t* data) {
  return data[0] | data[1] << 8;
}

void PutLittle(uint64_t value, int bytes, uint8_t* out) {
  for (int i = 0; i < bytes; ++i)
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

bool PutAt(int fd, size_t offset, const uint8_t* bytes, size_t count) {
  return pwrite(fd, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

// Why a format chunk describes no recording, or empty.
std::string FormatProblem(const WavLayout& layout) {
  if (layout.channels <= 0 || layout.sampleRate <= 0 || layout.blockAlign <= 0)
    return "its format chunk describes no sound (channels, rate or block size 0)";
  if (layout.formatTag != 1 && layout.formatTag != 3 && layout.formatTag != 0xFFFE)
    return "its format chunk says format " + std::to_string(layout.formatTag) +
           ", which is not PCM";
  if (layout.sampleRate < kLowestRate || layout.sampleRate > kHighestRate)
    return "its format chunk says " + std::to_string(layout.sampleRate) +
           " samples a second, which no recording has (1,000 to 768,000)";
  const int bits = layout.bitsPerSample;
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32 && bits != 64)
    return "its format chunk says " + std::to_string(bits) +
           " bits a sample, which no recording has (8, 16, 24, 32 or 64)";
  if (layout.blockAlign != layout.channels * bits / 8)
    return "its format chunk's block size " + std::to_string(layout.blockAlign) +
           " does not match its channels and sample width";
  return "";
}

// The header bytes of `layout` with its right sizes.
std::string RepairedHeader(const uint8_t* data, const WavLayout& layout) {
  std::string header(reinterpret_cast<const char*>(data), layout.dataStart);
  auto* bytes = reinterpret_cast<uint8_t*>(header.data());
  if (!layout.rf64 && !layout.becomesRf64) {
    PutLittle(layout.goodRiffSize, 4, bytes + kRiffSizeField);
    PutLittle(layout.goodDataSize, 4, bytes + layout.dataSizeField);
    return header;
  }
  std::memcpy(bytes, "RF64", 4);
  PutLittle(kSeeWideSizes, 4, bytes + kRiffSizeField);
  std::memcpy(bytes + layout.wideSizes - kChunkHeader, "ds64", 4);
  PutLittle(kSeeWideSizes, 4, bytes + layout.dataSizeField);
  PutLittle(layout.goodRiffSize, 8, bytes + layout.wideSizes);
  PutLittle(layout.goodDataSize, 8, bytes + layout.wideSizes + 8);
  PutLittle(layout.goodDataSize / static_cast<uint64_t>(layout.blockAlign), 8,
            bytes + layout.wideSizes + 16);
  return header;
}

}  // namespace

double WavLayout::Seconds() const {
  return blockAlign > 0 && sampleRate > 0
             ? static_cast<double>(goodDataSize / blockAlign) / sampleRate
             : 0;
}

bool LooksLikeWav(const uint8_t* data, size_t size) {
  return size >= kRiffHeader &&
         (std::memcmp(data, "RIFF", 4) == 0 || std::memcmp(data, "RF64", 4) == 0) &&
         std::memcmp(data + 8, "WAVE", 4) == 0;
}

WavLayout ReadWavLayout(const uint8_t* data, size_t size) {
  WavLayout layout;
  if (!LooksLikeWav(data, size)) {
    layout.problem = "it has no RIFF/WAVE header";
    return layout;
  }
  layout.rf64 = std::memcmp(data, "RF64", 4) == 0;
  layout.riffSize = Little32(data + kRiffSizeField);
  // The 64-bit sizes come first, or the room kept for them.
  if (size >= kRiffHeader + kChunkHeader + kWideSizesBytes &&
      Little32(data + kRiffHeader + 4) >= kWideSizesBytes &&
      std::memcmp(data + kRiffHeader, layout.rf64 ? "ds64" : "JUNK", 4) == 0)
    layout.wideSizes = kRiffHeader + kChunkHeader;
  if (layout.rf64) {
    if (layout.wideSizes == 0) {
      layout.problem = "it says RF64 but its 64-bit sizes ('ds64') do not follow";
      return layout;
    }
    layout.riffSize = Little64(data + layout.wideSizes);
  }
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
      layout.dataSize = layout.rf64 && chunkSize == kSeeWideSizes
                            ? Little64(data + layout.wideSizes + 8)
                            : chunkSize;
      break;
    }
    // Chunks ahead of the data were written whole before the PCM began.
    if (chunkSize > size - at - kChunkHeader)
      break;
    if (std::memcmp(data + at, "fmt ", 4) == 0 && chunkSize >= 16) {
      const uint8_t* format = data + at + kChunkHeader;
      layout.formatTag = Little16(format);
      layout.channels = Little16(format + 2);
      layout.sampleRate = static_cast<int>(std::min<uint32_t>(Little32(format + 4), INT32_MAX));
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
  layout.problem = FormatProblem(layout);
  if (!layout.problem.empty())
    return layout;
  // Whole sample frames only, and for a RIFF file no more than its 32-bit sizes count,
  // unless it can become RF64.
  uint64_t pcm = size - layout.dataStart;
  const uint64_t most = std::numeric_limits<uint32_t>::max() - (layout.dataStart - 8) - 1;
  if (!layout.rf64 && pcm > most) {
    if (layout.wideSizes != 0) {
      layout.becomesRf64 = true;
    } else {
      pcm = most;
      layout.tooLong = true;
    }
  }
  const uint64_t frames = pcm / static_cast<uint64_t>(layout.blockAlign);
  if (frames == 0) {
    layout.problem = "it holds no sound after its header (not one whole sample frame)";
    return layout;
  }
  layout.goodDataSize = frames * static_cast<uint64_t>(layout.blockAlign);
  // An odd data chunk is followed by a pad byte, which the RIFF size counts.
  layout.goodRiffSize = layout.dataStart - 8 + layout.goodDataSize + (layout.goodDataSize & 1);
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
  const std::string header = RepairedHeader(data, layout);
  const uint8_t pad = 0;
  const bool written =
      WriteAll(fd, reinterpret_cast<const uint8_t*>(header.data()), header.size()) &&
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
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot open " + path + " for writing: " + std::strerror(errno);
    return false;
  }
  // The header as repaired, written field by field in the order that keeps the file
  // readable at every step: the 64-bit sizes while readers still skip their chunk, then the
  // header that points readers at them.
  std::string header(layout.dataStart, '\0');
  bool written = pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  if (written) {
    header = RepairedHeader(reinterpret_cast<const uint8_t*>(header.data()), layout);
    const auto* bytes = reinterpret_cast<const uint8_t*>(header.data());
    if (layout.rf64 || layout.becomesRf64) {
      // "RF64" and 'ds64' in one write: a reader finds the one file or the other.
      written = PutAt(fd, layout.wideSizes, bytes + layout.wideSizes, 24) &&
                PutAt(fd, 0, bytes, layout.wideSizes - kChunkHeader + 4) &&
                PutAt(fd, layout.dataSizeField, bytes + layout.dataSizeField, 4);
    } else {
      written = PutAt(fd, kRiffSizeField, bytes + kRiffSizeField, 4) &&
                PutAt(fd, layout.dataSizeField, bytes + layout.dataSizeField, 4);
    }
  }
  written = written && fsync(fd) == 0;
  const int saved = errno;
  if (close(fd) != 0 || !written) {
    *error = "writing " + path + " failed: " + std::strerror(written ? errno : saved);
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
