// Writes a canonical 44-byte-header RIFF/WAVE file of integer or floating-point PCM: Create
// writes the header with the sizes of an empty file, the owner appends PCM with Append (or
// straight to GetHandle() with mmioWrite; a -1 result is reported as
// CMMIOException(CMMIOException::kWriteFailed)), and Close writes the final sizes.
//
// The file stays readable however the process ends. Append brings the data and RIFF sizes
// up to the PCM at least every half second of sound, the PCM always reaching the file
// before the sizes that count it, so a recording cut off by a kill plays up to within half
// a second of the last PCM appended and its header never claims bytes the file lacks. A
// writer destroyed while a file is open finishes it with Finish, so the file stays readable
// even when the disk refused the last PCM; a destructor must not throw.
//
// Threads: one thread at a time; an audio sink appends from its capture thread and closes
// from another only after delivery has stopped. No lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/CMMIOFile.h"
#include "host/Mmio.h"
#include "host/Win32Types.h"

class CWaveSave : public CMMIOFile {
 public:
  // Longest path Create accepts.
  static constexpr size_t kMaxPath = 511;

  CWaveSave() = default;
  ~CWaveSave() override;

  // Starts a WAV file at `path` for PCM described by `format`: the file says IEEE float
  // (tag 3) for 32- or 64-bit floating-point samples (IsFloatWave), integer PCM (tag 1) for
  // every other record, with block align and byte rate computed from channels, bits and
  // rate. An existing file there is deleted first; a file still open in this writer is
  // finished first. Returns 1 when the file is ready for PCM, 0 when it did not open or
  // when the path or the record cannot make a valid file (nothing is touched then). A
  // failure after the open throws CMMIOException and removes the half-written file.
  int Create(const char* path, const WAVEFORMATEX& format);
  // Appends `length` bytes of PCM to the data chunk. Once half a second of sound (by the
  // header's byte rate) has come in since the sizes were last written, writes what the
  // handle buffers and then the data and RIFF sizes that count it, in place. False when
  // no file is open, when the file refused the bytes (then nothing of them was written) or
  // when the PCM or the sizes could not be written; the file keeps valid sizes either way.
  bool Append(const void* data, long length);
  // Writes the data and RIFF sizes (and the data's pad byte) and closes; nothing when no
  // file is open. Throws CMMIOException on failure, the file staying open so that Close
  // may be called again.
  void Close(uint32_t flags) override;
  // Ends the file without throwing, for an owner that has nobody to hand an exception to
  // (a capture callback, a destructor). Writes the sizes as Close does; when that fails
  // because the disk refuses PCM still held in the handle's buffer, that PCM is dropped
  // and the sizes are written to describe what did reach the file. The handle is closed
  // either way. True when the file was left with true sizes (or none was open).
  bool Finish() noexcept;
  // The path of the file open or last created.
  const std::string& GetPath() const { return m_strPath; }

 private:
  // Rewrites the size fields of the closed file at m_strPath from its length on disk.
  bool WriteSizesFromDisk() const;

  // Writes the buffered PCM, then the data and RIFF sizes that count it.
  bool UpdateSizes();

  std::string m_strPath;   // of the open file
  MMCKINFO m_ckRiff{};     // the "WAVE" form
  MMCKINFO m_ckCurrent{};  // "fmt ", then "data"
  // PCM appended since the sizes were last written, and how much calls for writing them.
  int64_t m_nUnsized = 0;
  int64_t m_nSizeEvery = 0;
};
