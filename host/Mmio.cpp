#include "host/Mmio.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace {

// A RIFF chunk's size field counts the bytes after it, so a file that starts with one
// RIFF chunk ends at 8 + 0xFFFFFFFF at most.
constexpr int64_t kLargestRiffEnd = 8 + int64_t{0xFFFFFFFF};
// Data stops one byte earlier, so that the pad byte of an odd chunk still fits.
constexpr int64_t kLargestDataEnd = kLargestRiffEnd - 1;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0)
      ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }
  void Release() { m_fd = -1; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    int fd = m_fd;
    m_fd = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int m_fd;
};

bool WriteAllAt(int fd, const char* data, size_t count, int64_t offset) {
  while (count > 0) {
    ssize_t n = ::pwrite(fd, data, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (n == 0)
      return false;
    data += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

void PutLE32(char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

MMRESULT OpenError(int error, bool creating) {
  switch (error) {
    case ENOENT:
      return creating ? MMIOERR_PATHNOTFOUND : MMIOERR_FILENOTFOUND;
    case ENOTDIR:
      return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return MMIOERR_ACCESSDENIED;
    case EMFILE:
    case ENFILE:
      return MMIOERR_TOOMANYOPENFILES;
    case ENOMEM:
      return MMIOERR_OUTOFMEMORY;
    default:
      return MMIOERR_CANNOTOPEN;
  }
}

int OpenRetrying(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The advisory lock that stands in for a Win32 share mode: writers hold at least a shared
// lock, and a handle that denies writing to others holds the exclusive one, so it and any
// other writer exclude each other. 0: no lock.
int LockFor(uint32_t access, uint32_t share) {
  const bool writes = access != MMIO_READ;
  switch (share) {
    case MMIO_EXCLUSIVE:
    case MMIO_DENYREAD:
      return LOCK_EX;
    case MMIO_DENYWRITE:
      return writes ? LOCK_EX : LOCK_SH;
    default:
      return writes ? LOCK_SH : 0;
  }
}

// False only when another handle holds a conflicting lock; file systems without flock
// support leave the file unlocked rather than unusable.
bool TryLock(int fd, int operation) {
  if (operation == 0)
    return true;
  while (::flock(fd, operation | LOCK_NB) != 0) {
    if (errno == EINTR)
      continue;
    return errno != EWOULDBLOCK;
  }
  return true;
}

MMRESULT DeleteUnlessHeld(const char* path) {
  // Holding the exclusive lock while unlinking keeps a file that a writer is still
  // filling from disappearing under it.
  FileDescriptor fd(OpenRetrying(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() >= 0 && !TryLock(fd.get(), LOCK_EX))
    return MMIOERR_SHARINGVIOLATION;
  if (::unlink(path) != 0)
    return OpenError(errno, false);
  return MMSYSERR_NOERROR;
}

}  // namespace

namespace sorvo {

// The state behind an HMMIO. The position is logical: the buffered bytes are the last
// m_nUsed bytes before it.
class MmioStream {
 public:
  // `size`: the file's size at the open, for a regular file.
  MmioStream(int fd, bool writable, bool regular, int64_t size)
      : m_fd(fd), m_bWritable(writable), m_bRegular(regular), m_nFileSize(size) {}

  void AllocateBuffer(size_t size) { m_buffer.resize(size); }

  int64_t Position() const { return m_nPosition; }

  // Writes `count` bytes at the position if the data then ends at or before `limit`;
  // false when nothing was written.
  bool Write(const char* data, size_t count, int64_t limit) {
    if (!m_bWritable || m_nPosition > limit || static_cast<uint64_t>(limit - m_nPosition) < count)
      return false;
    if (count == 0)
      return true;
    if (m_nUsed + count > m_buffer.size()) {
      if (!Flush())
        return false;
      if (count > m_buffer.size()) {
        if (!WriteThrough(m_nPosition, data, count))
          return false;
        m_nPosition += static_cast<int64_t>(count);
        return true;
      }
    }
    std::memcpy(m_buffer.data() + m_nUsed, data, count);
    m_nUsed += count;
    m_nPosition += static_cast<int64_t>(count);
    return true;
  }

  // Writes straight to the file at `offset`, after what is buffered.
  bool WriteAt(int64_t offset, const char* data, size_t count) {
    return m_bWritable && Flush() && WriteThrough(offset, data, count);
  }

  bool Flush() {
    if (m_nUsed == 0)
      return true;
    if (!WriteThrough(m_nPosition - static_cast<int64_t>(m_nUsed), m_buffer.data(), m_nUsed))
      return false;
    m_nUsed = 0;
    return true;
  }

  bool Seek(int64_t position) {
    if (position < 0 || !Flush())
      return false;
    m_nPosition = position;
    return true;
  }

  // The largest end of file a write may reach.
  int64_t Limit() const { return m_nLimit; }
  void SetLimit(int64_t limit) { m_nLimit = limit; }

  // Where the file ends as far as the open and this handle's writes since made it; with
  // nothing buffered, every byte before it is in the file.
  int64_t WrittenEnd() const { return m_nFileSize; }

  // -1 when the size cannot be learnt.
  int64_t End() {
    struct stat st;
    if (!Flush() || ::fstat(m_fd.get(), &st) != 0)
      return -1;
    return st.st_size;
  }

  MMRESULT Close() {
    const bool flushed = Flush();
    const bool closed = m_fd.Close();
    if (!flushed)
      return MMIOERR_CANNOTWRITE;
    return closed ? MMSYSERR_NOERROR : MMIOERR_CANNOTCLOSE;
  }

 private:
  // A write that fails part-way is taken back where it made the file longer, so that a
  // refused write leaves no stray bytes after the data that was accepted.
  bool WriteThrough(int64_t offset, const char* data, size_t count) {
    const int64_t end = offset + static_cast<int64_t>(count);
    if (WriteAllAt(m_fd.get(), data, count, offset)) {
      if (end > m_nFileSize)
        m_nFileSize = end;
      return true;
    }
    if (m_bRegular && end > m_nFileSize) {
      int ignored = ::ftruncate(m_fd.get(), m_nFileSize);
      (void)ignored;
    }
    return false;
  }

  FileDescriptor m_fd;
  const bool m_bWritable;
  const bool m_bRegular;
  // As far as this handle's own writes made it; other writers are kept out by the lock.
  int64_t m_nFileSize;
  std::vector<char> m_buffer;
  size_t m_nUsed = 0;
  int64_t m_nPosition = 0;
  int64_t m_nLimit = kLargestDataEnd;
};

}  // namespace sorvo

namespace {

// Makes the size field of `ck` count its data up to `end`, unless it already does; the
// count goes to *size. False when it does not fit the field or cannot be written.
bool PutChunkSize(sorvo::MmioStream* stream, const MMCKINFO& ck, int64_t end, uint32_t* size) {
  const int64_t start = ck.dwDataOffset;
  if (end < start || end - start > int64_t{UINT32_MAX})
    return false;
  *size = static_cast<uint32_t>(end - start);
  if (*size == ck.cksize)
    return true;
  char field[4];
  PutLE32(field, *size);
  return stream->WriteAt(start - 4, field, sizeof field);
}

HMMIO OpenStream(const char* path, const MMIOINFO* info, uint32_t flags, MMRESULT* error) {
  const uint32_t access = flags & 0x3;
  const uint32_t share = flags & 0x70;
  const bool creating = (flags & MMIO_CREATE) != 0;
  if (access > MMIO_READWRITE || share > MMIO_DENYNONE) {
    *error = MMSYSERR_INVALPARAM;
    return nullptr;
  }
  int oflags = O_CLOEXEC | O_NOCTTY;
  oflags |= access == MMIO_READ ? O_RDONLY : access == MMIO_WRITE ? O_WRONLY : O_RDWR;
  // Truncation waits for the lock, so that a refused open leaves another writer's file as
  // it was.
  if (creating)
    oflags |= O_CREAT;
  FileDescriptor fd(OpenRetrying(path, oflags));
  if (fd.get() < 0) {
    *error = OpenError(errno, creating);
    return nullptr;
  }
  if (!TryLock(fd.get(), LockFor(access, share))) {
    *error = MMIOERR_SHARINGVIOLATION;
    return nullptr;
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    *error = MMIOERR_CANNOTOPEN;
    return nullptr;
  }
  const bool regular = S_ISREG(st.st_mode);
  if (creating && regular && st.st_size > 0 && ::ftruncate(fd.get(), 0) != 0) {
    *error = MMIOERR_CANNOTWRITE;
    return nullptr;
  }
  auto stream = std::make_unique<sorvo::MmioStream>(fd.get(), access != MMIO_READ, regular,
                                                    creating ? 0 : st.st_size);
  fd.Release();
  if (flags & MMIO_ALLOCBUF) {
    const long bufferSize =
        info != nullptr && info->cchBuffer > 0 ? info->cchBuffer : MMIO_DEFAULTBUFFER;
    stream->AllocateBuffer(static_cast<size_t>(bufferSize));
  }
  return stream.release();
}

}  // namespace

HMMIO mmioOpenA(const char* path, MMIOINFO* info, uint32_t flags) {
  MMRESULT error = MMSYSERR_NOERROR;
  HMMIO handle = nullptr;
  if (path == nullptr || *path == '\0') {
    error = MMIOERR_CANNOTOPEN;
  } else if (flags & MMIO_DELETE) {
    error = DeleteUnlessHeld(path);
    if (error == MMSYSERR_NOERROR)
      handle = reinterpret_cast<HMMIO>(uintptr_t{1});
  } else {
    try {
      handle = OpenStream(path, info, flags, &error);
    } catch (const std::bad_alloc&) {
      error = MMIOERR_OUTOFMEMORY;
    }
  }
  if (info != nullptr) {
    info->wErrorRet = error;
    info->hmmio = (flags & MMIO_DELETE) ? nullptr : handle;
  }
  return handle;
}

long mmioWrite(HMMIO hmmio, const char* data, long cch) {
  if (hmmio == nullptr || cch < 0 || (data == nullptr && cch > 0))
    return -1;
  return hmmio->Write(data, static_cast<size_t>(cch), hmmio->Limit()) ? cch : -1;
}

long mmioSeek(HMMIO hmmio, long offset, int origin) {
  if (hmmio == nullptr)
    return -1;
  int64_t base;
  switch (origin) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      // Asking where the handle is, as Win32 callers do, writes nothing.
      if (offset == 0)
        return static_cast<long>(hmmio->Position());
      base = hmmio->Position();
      break;
    case SEEK_END:
      base = hmmio->End();
      if (base < 0)
        return -1;
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target))
    return -1;
  return hmmio->Seek(target) ? static_cast<long>(target) : -1;
}

MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* ck, uint32_t flags) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  if (ck == nullptr)
    return MMSYSERR_INVALPARAM;
  size_t length = 8;
  if (flags & MMIO_CREATERIFF) {
    ck->ckid = FOURCC_RIFF;
    length = 12;
  } else if (flags & MMIO_CREATELIST) {
    ck->ckid = FOURCC_LIST;
    length = 12;
  }
  // MMCKINFO keeps the offset in 32 bits.
  if (hmmio->Position() > int64_t{UINT32_MAX} - 8)
    return MMIOERR_CANNOTWRITE;
  const int64_t dataOffset = hmmio->Position() + 8;
  char header[12];
  PutLE32(header, ck->ckid);
  PutLE32(header + 4, ck->cksize);
  PutLE32(header + 8, ck->fccType);
  if (!hmmio->Write(header, length, kLargestDataEnd))
    return MMIOERR_CANNOTWRITE;
  ck->dwDataOffset = static_cast<uint32_t>(dataOffset);
  ck->dwFlags = MMIO_DIRTY;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* ck, uint32_t /*flags*/) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  if (ck == nullptr || ck->dwDataOffset < 8)
    return MMSYSERR_INVALPARAM;
  const int64_t start = ck->dwDataOffset;
  if (!(ck->dwFlags & MMIO_DIRTY)) {
    const int64_t end = start + ck->cksize + (ck->cksize & 1);
    return hmmio->Seek(end) ? MMSYSERR_NOERROR : MMIOERR_CANNOTSEEK;
  }
  const int64_t end = hmmio->Position();
  uint32_t size = 0;
  if (!PutChunkSize(hmmio, *ck, end, &size))
    return MMIOERR_CANNOTWRITE;
  if (size & 1) {
    if (end + 1 > kLargestRiffEnd || !hmmio->WriteAt(end, "", 1) || !hmmio->Seek(end + 1))
      return MMIOERR_CANNOTWRITE;
  }
  ck->cksize = size;
  ck->dwFlags &= ~MMIO_DIRTY;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioUpdateChunkSize(HMMIO hmmio, MMCKINFO* ck) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  if (ck == nullptr || ck->dwDataOffset < 8 || !(ck->dwFlags & MMIO_DIRTY))
    return MMSYSERR_INVALPARAM;
  // The data must be in the file before a field that counts it; a position moved past the
  // end by a seek counts only what is there.
  uint32_t size = 0;
  if (!hmmio->Flush() ||
      !PutChunkSize(hmmio, *ck, std::min(hmmio->Position(), hmmio->WrittenEnd()), &size))
    return MMIOERR_CANNOTWRITE;
  ck->cksize = size;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioFlush(HMMIO hmmio, uint32_t /*flags*/) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  return hmmio->Flush() ? MMSYSERR_NOERROR : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioWriteAt(HMMIO hmmio, int64_t offset, const char* data, long cch) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  if (offset < 0 || cch < 0 || (data == nullptr && cch > 0))
    return MMSYSERR_INVALPARAM;
  return hmmio->WriteAt(offset, data, static_cast<size_t>(cch)) ? MMSYSERR_NOERROR
                                                                : MMIOERR_CANNOTWRITE;
}

MMRESULT mmioAllowLargeFile(HMMIO hmmio) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  hmmio->SetLimit(std::numeric_limits<int64_t>::max());
  return MMSYSERR_NOERROR;
}

MMRESULT mmioClose(HMMIO hmmio, uint32_t /*flags*/) {
  if (hmmio == nullptr)
    return MMSYSERR_INVALHANDLE;
  std::unique_ptr<sorvo::MmioStream> stream(hmmio);
  return stream->Close();
}
