// The Win32 multimedia file I/O calls the module writes RIFF files with: open, create a
// chunk, write, ascend out of a chunk (fixing its size field), seek and close, with the
// Win32 names, flag values and MMRESULT codes, over a POSIX descriptor.
//
// A handle is used by one thread at a time; the layer takes no locks. Writes are held in
// the handle's buffer (MMIO_ALLOCBUF) and reach the file when the buffer fills, on a seek,
// an ascend or the close; a write that cannot reach the file is reported by the call that
// tried (mmioWrite returns -1, the others MMIOERR_CANNOTWRITE), never dropped silently.
//
// Two rules go beyond Win32 so that a file on this platform keeps Win32's guarantees:
// - Sharing: MMIO_DENYWRITE and MMIO_EXCLUSIVE take an advisory lock on the file; a second
//   writer on a file locked so fails with MMIOERR_SHARINGVIOLATION, and MMIO_DELETE refuses
//   to unlink a file another handle holds (POSIX would let it vanish under the writer).
// - Size: RIFF size fields are 32 bits, so nothing is written past the largest file one
//   RIFF chunk can describe (8 + 0xFFFFFFFF bytes, one byte of it kept for a pad byte);
//   such a write returns -1 and leaves the file as it was. A writer that keeps the sizes
//   in 64-bit fields of its own (RF64) lifts the limit with mmioAllowLargeFile.
#pragma once

#include <cstdint>

namespace sorvo {
class MmioStream;
}
// Opaque: null when no file is open.
typedef sorvo::MmioStream* HMMIO;

typedef uint32_t FOURCC;
typedef uint32_t MMRESULT;

// The four characters as RIFF stores them: the first in the lowest byte.
constexpr FOURCC mmioFOURCC(char c0, char c1, char c2, char c3) {
  return static_cast<FOURCC>(static_cast<uint8_t>(c0)) |
         static_cast<FOURCC>(static_cast<uint8_t>(c1)) << 8 |
         static_cast<FOURCC>(static_cast<uint8_t>(c2)) << 16 |
         static_cast<FOURCC>(static_cast<uint8_t>(c3)) << 24;
}
constexpr FOURCC FOURCC_RIFF = mmioFOURCC('R', 'I', 'F', 'F');
constexpr FOURCC FOURCC_LIST = mmioFOURCC('L', 'I', 'S', 'T');

// Open flags (mmioOpenA).
constexpr uint32_t MMIO_READ = 0x00000000;
constexpr uint32_t MMIO_WRITE = 0x00000001;
constexpr uint32_t MMIO_READWRITE = 0x00000002;
constexpr uint32_t MMIO_COMPAT = 0x00000000;
constexpr uint32_t MMIO_EXCLUSIVE = 0x00000010;
constexpr uint32_t MMIO_DENYWRITE = 0x00000020;
constexpr uint32_t MMIO_DENYREAD = 0x00000030;
constexpr uint32_t MMIO_DENYNONE = 0x00000040;
constexpr uint32_t MMIO_DELETE = 0x00000200;
constexpr uint32_t MMIO_CREATE = 0x00001000;
constexpr uint32_t MMIO_ALLOCBUF = 0x00010000;
// Chunk flags (mmioCreateChunk, MMCKINFO::dwFlags).
constexpr uint32_t MMIO_CREATERIFF = 0x00000020;
constexpr uint32_t MMIO_CREATELIST = 0x00000040;
constexpr uint32_t MMIO_DIRTY = 0x10000000;
// The buffer MMIO_ALLOCBUF allocates when MMIOINFO::cchBuffer is 0.
constexpr long MMIO_DEFAULTBUFFER = 8192;

// Results.
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMIOERR_BASE = 256;
constexpr MMRESULT MMIOERR_FILENOTFOUND = MMIOERR_BASE + 1;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = MMIOERR_BASE + 2;
constexpr MMRESULT MMIOERR_CANNOTOPEN = MMIOERR_BASE + 3;
constexpr MMRESULT MMIOERR_CANNOTCLOSE = MMIOERR_BASE + 4;
constexpr MMRESULT MMIOERR_CANNOTREAD = MMIOERR_BASE + 5;
constexpr MMRESULT MMIOERR_CANNOTWRITE = MMIOERR_BASE + 6;
constexpr MMRESULT MMIOERR_CANNOTSEEK = MMIOERR_BASE + 7;
constexpr MMRESULT MMIOERR_PATHNOTFOUND = MMIOERR_BASE + 11;
constexpr MMRESULT MMIOERR_ACCESSDENIED = MMIOERR_BASE + 12;
constexpr MMRESULT MMIOERR_SHARINGVIOLATION = MMIOERR_BASE + 13;
constexpr MMRESULT MMIOERR_TOOMANYOPENFILES = MMIOERR_BASE + 15;

// One chunk: id, size of its data, form type (RIFF and LIST only), the file offset where
// its data begins (after the size field) and MMIO_DIRTY while its size field is not final.
struct MMCKINFO {
  FOURCC ckid;
  uint32_t cksize;
  FOURCC fccType;
  uint32_t dwDataOffset;
  uint32_t dwFlags;
};

// The parts of Win32's open record this layer reads or fills: the buffer size asked for
// with MMIO_ALLOCBUF (0: the default) in, the error of a failed open out.
struct MMIOINFO {
  uint32_t dwFlags;
  uint32_t wErrorRet;
  long cchBuffer;
  HMMIO hmmio;
};

// Opens `path`; null on failure, with the MMIOERR_* code in info->wErrorRet when `info` is
// given. MMIO_CREATE creates or truncates the file. MMIO_DELETE deletes `path` instead and
// returns a non-null value that is not a handle (never pass it on) when it did.
HMMIO mmioOpenA(const char* path, MMIOINFO* info, uint32_t flags);
// Writes `cch` bytes at the current position: `cch`, or -1 when nothing was written.
long mmioWrite(HMMIO hmmio, const char* data, long cch);
// Moves the position (SEEK_SET, SEEK_CUR, SEEK_END): the new position, or -1.
long mmioSeek(HMMIO hmmio, long offset, int origin);
// Writes the chunk header at the current position: with MMIO_CREATERIFF or
// MMIO_CREATELIST the id becomes "RIFF" or "LIST" and the form type follows the size.
// Fills dwDataOffset and sets MMIO_DIRTY.
MMRESULT mmioCreateChunk(HMMIO hmmio, MMCKINFO* ck, uint32_t flags);
// Leaves a chunk. A dirty chunk ends at the current position: its size field is rewritten
// when it changed, a zero pad byte follows an odd size, and the chunk is clean afterwards.
// On failure the file position and the record are as they were, so the call may be
// repeated.
MMRESULT mmioAscend(HMMIO hmmio, MMCKINFO* ck, uint32_t flags);
// Writes what is buffered: MMSYSERR_NOERROR or MMIOERR_CANNOTWRITE.
MMRESULT mmioFlush(HMMIO hmmio, uint32_t flags);
// Beyond Win32: brings the size field of a chunk still being written up to the data written
// so far, without leaving the chunk. What the handle buffers is written first and the field
// after it, in place: the position does not move and the chunk stays dirty (mmioAscend ends
// it as usual). So a file cut off at any moment, even between the two writes, holds at
// least the bytes its size field claims. MMSYSERR_NOERROR, or MMIOERR_CANNOTWRITE with the
// field as it was.
MMRESULT mmioUpdateChunkSize(HMMIO hmmio, MMCKINFO* ck);
// Beyond Win32: writes what is buffered, then `cch` bytes at `offset`, in place: the position
// does not move. MMSYSERR_NOERROR, or MMIOERR_CANNOTWRITE.
MMRESULT mmioWriteAt(HMMIO hmmio, int64_t offset, const char* data, long cch);
// Beyond Win32: lets the handle write past what 32-bit RIFF sizes can count, for a file that
// keeps its sizes in 64-bit fields (RF64). mmioAscend and mmioUpdateChunkSize still refuse
// a size that does not fit their 32-bit fields.
MMRESULT mmioAllowLargeFile(HMMIO hmmio);
// Writes what is buffered and closes; the handle is gone whatever the result.
MMRESULT mmioClose(HMMIO hmmio, uint32_t flags);
