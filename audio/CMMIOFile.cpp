#include "audio/CMMIOFile.h"

#include "audio/CMMIOException.h"

CMMIOFile::~CMMIOFile() {
  if (m_hmmio != nullptr)
    mmioClose(m_hmmio, 0);
}

HMMIO CMMIOFile::Open(const char* path, uint32_t flags) {
  // Deleting yields no handle to own.
  if (flags & MMIO_DELETE)
    throw CMMIOException(MMSYSERR_INVALPARAM);
  CMMIOFile::Close(0);
  MMIOINFO info{};
  HMMIO handle = mmioOpenA(path, &info, flags);
  if (handle == nullptr)
    throw CMMIOException(info.wErrorRet);
  m_hmmio = handle;
  return handle;
}

void CMMIOFile::Close(uint32_t flags) {
  if (m_hmmio == nullptr)
    return;
  HMMIO handle = m_hmmio;
  m_hmmio = nullptr;
  const MMRESULT result = mmioClose(handle, flags);
  if (result != MMSYSERR_NOERROR)
    throw CMMIOException(result);
}
