// The transfer library: a TCP server that sends each broadcast to every connected client.
//
// On connect the server calls the registered ITransferAccepterCB::OnAccept (on the
// server's own I/O thread) before that client takes part in any broadcast. A broadcast
// never waits for a client: it copies the bytes into each client's bounded queue and a
// client whose queue overflows is disconnected and not counted as reached.
#pragma once

#include "host/IUnknown.h"

class ITransferAccepterCB;

// One client connection, as handed to OnAccept; the pointer is valid during that call only.
class SORVO_EXPORT ITransferConnection {
 public:
  // Queues `size` bytes for this client ahead of any later broadcast; 1 queued, 0 not.
  virtual int Send(const void* data, int size) = 0;
  // Connection set-up; the module passes (0, 0). Returns 1.
  virtual int Setup(int option, int value) = 0;

 protected:
  virtual ~ITransferConnection() = default;
};

class SORVO_EXPORT ITransferServer : public IUnknown {
 public:
  // Registers the accept callback (not reference counted; null clears it). Returns 1.
  virtual int RegisterAcceptCallback(ITransferAccepterCB* callback, int flag) = 0;
  // Sends `header` (the 20-byte packet header, when not null) followed by `size` bytes of
  // `data` to every connected client. The bytes have been copied when the call returns.
  // `clientsReached`, when given, receives the number of clients the bytes went to.
  virtual int Broadcast(const void* data, int size, const void* header, int* clientsReached) = 0;
  // Number of connected clients.
  virtual int GetClientCount() = 0;
  // Stops serving: closes the listener, sends each client what was broadcast to it before
  // (waiting at most a few seconds for clients that do not read), and closes the clients
  // in order. The object stays valid.
  virtual int Stop() = 0;
};

// Creates a server listening on `port` at the address SorvoSetServerAddress chose, else at
// the bind address of the settings file ([Transfer] BindAddress, default all interfaces). `*server` is null when the port cannot
// be bound; otherwise it holds a listening server with one reference. Returns 1 or 0.
// Clients are taken in once the owner has registered its accept callback (null is fine) or
// broadcast for the first time, so that none joins before the callback can greet it.
SORVO_EXPORT int CreateServer(unsigned short port, ITransferServer** server, const char* text);

// The address every server made from now on listens on, in place of the settings file's
// (an IPv4 or IPv6 address, e.g. "127.0.0.1" to serve this machine only); null or empty
// returns to the settings file. Servers already listening stay where they are. 1 chosen;
// 0 when `address` is not an IP address (the choice is then unchanged). Any thread.
SORVO_EXPORT int SorvoSetServerAddress(const char* address);
