#include "audio/CMMIOException.h"

#include <cstdio>

CMMIOException::CMMIOException(uint32_t errorCode) : m_nErrorCode(errorCode) {
  std::snprintf(m_szWhat, sizeof m_szWhat, "multimedia file I/O error %u",
                static_cast<unsigned>(errorCode));
}

const char* CMMIOException::what() const noexcept {
  return m_szWhat;
}

bool CMMIOException::GetErrorMessage(char* text, unsigned maxLength, unsigned* helpContext) const {
  if (helpContext != nullptr)
    *helpContext = 0;
  if (text != nullptr && maxLength > 0)
    *text = '\0';
  return false;
}
