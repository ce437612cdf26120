#include "codec/FragmentCommitIo.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "host/PositionedFile.h"

namespace sorvo {
namespace {

constexpr int64_t kNoBox = std::numeric_limits<int64_t>::max();

uint64_t BigEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i)
    value = value << 8 | bytes[i];
  return value;
}

}  // namespace

AVIOContext* FragmentCommitIo::Open(const char* fileName) {
  auto file = std::make_unique<PositionedFile>();
  if (!file->Create(fileName))
    return nullptr;
  std::unique_ptr<FragmentCommitIo> io(new FragmentCommitIo(std::move(file)));
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (buffer == nullptr)
    return nullptr;
  // No seek function: the muxer then writes its fragments strictly front to back.
  AVIOContext* output =
      avio_alloc_context(buffer, kBufferSize, 1, io.get(), nullptr, &WritePacket, nullptr);
  if (output == nullptr) {
    av_free(buffer);
    return nullptr;
  }
  io.release();
  return output;
}

FragmentCommitIo::FragmentCommitIo(std::unique_ptr<PositionedFile> file)
    : m_pFile(std::move(file)) {}

int FragmentCommitIo::Close(AVIOContext** output) {
  if (output == nullptr || *output == nullptr)
    return 0;
  avio_flush(*output);
  std::unique_ptr<FragmentCommitIo> io(static_cast<FragmentCommitIo*>((*output)->opaque));
  int error = io->m_nError;
  if (io->m_pFile && !io->m_pFile->Close() && error == 0)
    error = AVERROR(errno);
  // A released file is its new owner's to close.
  if (!io->m_pFile)
    error = 0;
  av_freep(&(*output)->buffer);
  avio_context_free(output);
  return error;
}

std::unique_ptr<PositionedFile> FragmentCommitIo::Release(AVIOContext* output) {
  if (output == nullptr)
    return nullptr;
  avio_flush(output);
  auto* io = static_cast<FragmentCommitIo*>(output->opaque);
  if (io->m_nError != 0)
    return nullptr;
  io->m_nError = AVERROR(EBADF);
  return std::move(io->m_pFile);
}

FragmentCommitIo::~FragmentCommitIo() = default;

int FragmentCommitIo::WritePacket(void* opaque, uint8_t* data, int size) {
  return static_cast<FragmentCommitIo*>(opaque)->Write(data, size);
}

int FragmentCommitIo::Write(const uint8_t* data, int size) {
  int at = 0;
  while (at < size && m_nError == 0) {
    if (m_nWritten == m_nNextBox) {
      // A box header is held back until it is whole, so that its type can be changed
      // before any of it reaches the file.
      const bool largeSize = m_nHeaderBytes >= 4 && BigEndian(m_header, 4) == 1;
      const int used = std::min((largeSize ? 16 : 8) - m_nHeaderBytes, size - at);
      std::memcpy(m_header + m_nHeaderBytes, data + at, used);
      m_nHeaderBytes += used;
      at += used;
      if (m_nHeaderBytes < 8 || (BigEndian(m_header, 4) == 1 && m_nHeaderBytes < 16))
        continue;
      EndHeader();
    } else {
      const int64_t take = std::min<int64_t>(size - at, m_nNextBox - m_nWritten);
      Emit(data + at, take);
      at += static_cast<int>(take);
    }
    if (m_nCommitAt >= 0 && m_nWritten >= m_nCommitAt)
      Commit();
  }
  return m_nError < 0 ? m_nError : size;
}

void FragmentCommitIo::EndHeader() {
  uint64_t boxSize = BigEndian(m_header, 4);
  if (boxSize == 1)
    boxSize = BigEndian(m_header + 8, 8);
  const int64_t start = m_nWritten;
  int64_t next = kNoBox;  // size 0 runs to the end of the file; a broken size ends the walk
  if (boxSize >= static_cast<uint64_t>(m_nHeaderBytes) &&
      boxSize <= static_cast<uint64_t>(kNoBox - start))
    next = start + static_cast<int64_t>(boxSize);

  if (std::memcmp(m_header + 4, "moof", 4) == 0 && m_nPendingMoof < 0) {
    m_nPendingMoof = start;
    std::memcpy(m_header + 4, "free", 4);
  } else if (m_nPendingMoof >= 0 && m_nCommitAt < 0) {
    // The box after a 'moof' is its 'mdat'.
    m_nCommitAt = next;
  }
  Emit(m_header, m_nHeaderBytes);
  m_nHeaderBytes = 0;
  m_nNextBox = next;
}

void FragmentCommitIo::Emit(const uint8_t* data, int64_t size) {
  // Straight to the kernel, as a plain file output would do with each buffer the muxer
  // flushes.
  if (m_nError == 0 && !m_pFile->WriteAt(m_nWritten, data, static_cast<size_t>(size)))
    m_nError = AVERROR(errno);
  m_nWritten += size;
}

void FragmentCommitIo::Commit() {
  // The fragment's bytes first, then its type: never a 'moof' whose samples are missing.
  if (m_nError != 0)
    return;
  if (!m_pFile->WriteAt(m_nPendingMoof + 4, "moof", 4)) {
    m_nError = AVERROR(errno);
    return;
  }
  m_nPendingMoof = -1;
  m_nCommitAt = -1;
}

}  // namespace sorvo
