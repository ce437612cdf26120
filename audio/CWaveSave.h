// Writes a RIFF/WAVE file of integer or floating-point PCM: Create writes the header with the
// sizes of an empty file, the owner appends PCM with Append (or straight to GetHandle() with
// mmioWrite; a -1 result is reported as CMMIOException(CMMIOException::kWriteFailed)), and
// Close writes the final sizes.
//
// The header is 80 bytes: "RIFF", "WAVE", a 28-byte 'JUNK' chunk, 'fmt ' and 'data'. Readers
// skip the 'JUNK' chunk; it holds the place of the 64-bit sizes of RF64 (EBU Tech 3306),
// which a RIFF file's 32-bit sizes cannot count past 4 GiB (6 h 46 min of 44.1 kHz 16-bit
// stereo). A file whose PCM would pass that becomes an RF64 file in place before the PCM is
// written: the 'JUNK' chunk becomes the 'ds64' chunk with the sizes, the 32-bit sizes read
// 0xFFFFFFFF, and one write of the first 16 bytes turns "RIFF" into "RF64" and 'JUNK' into
// 'ds64' together, so that a reader finds one or the other whole. A file that never passes
// 4 GiB stays a plain RIFF/WAVE file.
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

  CWaveSave();
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
  // Makes the files from now on RF64 once their PCM passes `end` bytes from the file's
  // start, rather than where 32-bit sizes stop counting: small RF64 files for tests.
  void SetRf64FromForTesting(int64_t end) { m_nRf64From = end; }

 private:
  // Rewrites the size fields of the closed file at m_strPath from its length on disk.
  bool WriteSizesFromDisk() const;

  // Writes the buffered PCM, then the data and RIFF sizes that count it.
  bool UpdateSizes();
  // Turns the file into RF64 with the sizes of what is written; false when it cannot be.
  bool BecomeRf64();
  // The 64-bit sizes of an RF64 file whose PCM ends at `end`, after `pad` pad bytes.
  bool WriteWideSizes(HMMIO hmmio, int64_t end, int pad) const;

  std::string m_strPath;      // of the open file
  MMCKINFO m_ckRiff{};        // the "WAVE" form
  MMCKINFO m_ckCurrent{};     // "fmt ", then "data"
  uint32_t m_nWideSizes = 0;  // where the 'JUNK' chunk keeps room for them
  uint16_t m_nBlockAlign = 1;
  bool m_bRf64 = false;
  bool m_bPadded = false;  // an RF64 file's pad byte is written
  int64_t m_nRf64From;     // the end of the PCM from which the file is RF64
  // PCM appended since the sizes were last written, and how much calls for writing them.
  int64_t m_nUnsized = 0;
  int64_t m_nSizeEvery = 0;
};
