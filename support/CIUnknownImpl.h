// Reference-counting base: the count starts at 1 and the object deletes itself through
// its virtual destructor when Release brings the count to 0 or below. AddRef and Release
// may be called from any thread; the value they return is read after the atomic step.
#pragma once

#include <atomic>
#include <cstdint>

#include "host/SorvoExport.h"
#include "host/Win32Types.h"

class SORVO_EXPORT CIUnknownImpl {
 public:
  CIUnknownImpl() = default;
  virtual ~CIUnknownImpl() = default;
  CIUnknownImpl(const CIUnknownImpl&) = delete;
  CIUnknownImpl& operator=(const CIUnknownImpl&) = delete;

  // Answers no look-ups: returns 1 and leaves `object` as it was.
  virtual long QueryInterface(const GUID& iid, void** object);
  virtual long AddRef();
  virtual long Release();

 protected:
  // Called by the Release that brings the count to 0, before the object is destroyed:
  // an object whose threads call its virtual functions stops them here, while it is still
  // whole, since its destructor begins by making it a base class object again.
  virtual void OnLastRelease() {}

 private:
  std::atomic<int32_t> m_refCount{1};
};
