// The COM base interface: reference counting through AddRef/Release, deletion when the
// count reaches zero. QueryInterface answers no look-ups in this system.
#pragma once

#include "host/SorvoExport.h"
#include "host/Win32Types.h"

class SORVO_EXPORT IUnknown {
 public:
  virtual long QueryInterface(const GUID& iid, void** object) = 0;
  virtual long AddRef() = 0;
  virtual long Release() = 0;

 protected:
  // Objects go away through Release, never through a delete on the interface.
  virtual ~IUnknown() = default;
};
