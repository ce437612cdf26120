#include "support/CIUnknownImpl.h"

long CIUnknownImpl::QueryInterface(const GUID& /*iid*/, void** /*object*/) { return 1; }

long CIUnknownImpl::AddRef() { return m_refCount.fetch_add(1) + 1; }

long CIUnknownImpl::Release() {
  const int32_t count = m_refCount.fetch_sub(1) - 1;
  if (count <= 0) {
    // Only the call that crosses from 1 to 0 deletes; a Release beyond that on a dead
    // object is the caller's fault, as it is with any COM object.
    OnLastRelease();
    delete this;
    return 0;
  }
  return count;
}
