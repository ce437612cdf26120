// The failure of a multimedia file I/O step while writing a WAV file, thrown by value out
// of CMMIOFile, CWaveSave and the audio sink that appends to them.
#pragma once

#include <cstdint>
#include <exception>

#include "host/SorvoExport.h"

class SORVO_EXPORT CMMIOException : public std::exception {
 public:
  // The code a failed mmioWrite is reported with; every other code is the MMRESULT of the
  // call that failed (MMIOERR_...).
  static constexpr uint32_t kWriteFailed = 1;

  explicit CMMIOException(uint32_t errorCode);

  uint32_t GetErrorCode() const { return m_nErrorCode; }
  // "multimedia file I/O error <code>".
  const char* what() const noexcept override;
  // Supplies no text: empties `text` (when there is room), sets *helpContext to 0 and
  // returns false.
  bool GetErrorMessage(char* text, unsigned maxLength, unsigned* helpContext = nullptr) const;

 private:
  uint32_t m_nErrorCode;
  char m_szWhat[40];
};
