// The library's audio sink, telling how many clients its server has: the sink's own
// interface does not, but a derived class may look at its server.
//
// Threads: as CAudioSinkFF; clients() on the control thread, like Create and Close.
#pragma once

#include <sorvo/sorvo.h>

namespace sorvo::tools {

class ServedAudioSink : public CAudioSinkFF {
 public:
  // Clients connected to the sink's server now; 0 without a server or after Close.
  int clients() {
    ITransferServer* server = GetTransferServer();
    return server != nullptr ? server->GetClientCount() : 0;
  }
};

}  // namespace sorvo::tools
