// Owns one multimedia file I/O handle and turns a failed open or close into a
// CMMIOException.
//
// Threads: one thread at a time; the owner serialises every call. No lock.
#pragma once

#include <cstdint>

#include "host/Mmio.h"

class CMMIOFile {
 public:
  CMMIOFile() = default;
  // Closes the handle if it is still open, ignoring the result; never throws.
  virtual ~CMMIOFile();
  CMMIOFile(const CMMIOFile&) = delete;
  CMMIOFile& operator=(const CMMIOFile&) = delete;

  // Opens `path` with the MMIO_* open flags and returns the handle; a handle still open
  // is closed first. Throws CMMIOException with the open's MMIOERR_* code on failure.
  virtual HMMIO Open(const char* path, uint32_t flags);
  // Closes and forgets the handle; nothing when none is open. A close that could not
  // write what was buffered throws CMMIOException, the handle forgotten all the same.
  virtual void Close(uint32_t flags);

  // For appending with mmioWrite; null while no file is open.
  HMMIO GetHandle() const { return m_hmmio; }
  bool IsOpen() const { return m_hmmio != nullptr; }

 protected:
  HMMIO m_hmmio = nullptr;
};
