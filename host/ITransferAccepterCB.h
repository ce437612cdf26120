// What a transfer server reports back to its owner (a recording sink), on the server's own
// thread.
#pragma once

#include "host/ITransferServer.h"
#include "host/SorvoExport.h"

class SORVO_EXPORT ITransferAccepterCB {
 public:
  // A new client; called before the client takes part in any broadcast.
  virtual int OnAccept(ITransferConnection* connection, int flag) = 0;
  // Keeps its place in the interface; its arguments carry no meaning in this system.
  virtual int OnNotify(int code, void* data) = 0;

 protected:
  virtual ~ITransferAccepterCB() = default;
};
