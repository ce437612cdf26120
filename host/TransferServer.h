// The transfer server: listens on one TCP port and copies every broadcast into the queue of
// each connected client, which its own I/O thread then writes out.
//
// Ownership: reference counted (the count starts at 1 and the last Release deletes the
// server, stopping it first if need be). Stop and the last Release must come from the
// owner's threads, never from inside OnAccept, since they wait for the I/O thread.
//
// Threads: Broadcast, GetClientCount, RegisterAcceptCallback, Stop, AddRef and Release may
// be called from any thread, also at the same time. The I/O thread, named
// "Transfer_<port>", accepts clients, calls OnAccept and does all socket work.
//
// Stop lets every client take what is queued for it, then ends its stream in order (FIN),
// so that a viewer or a second recorder ends with the same packets as the sink's own file;
// a client that has not taken it all after kTransferFinishLimit is cut off.
//
// Clients are accepted once the owner has registered its accept callback (null is fine) or
// has broadcast for the first time, whichever comes first: a client that connects in
// between waits in the listen backlog, so that none misses the greeting OnAccept sends.
//
// Locks, in the order they may be taken: m_callbackLock (held around OnAccept, so that
// after RegisterAcceptCallback returns the old callback is no longer running), then
// m_clientsLock (guards m_clients and m_stopped), then a connection's own lock.
// m_controlLock serialises Stop and is held on its own. The acceptor, the retry timer and
// m_fullLogged belong to the I/O thread.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/ITransferServer.h"

namespace sorvo {

class TransferConnection;

// Bytes a client may fall behind before it is dropped.
constexpr size_t kTransferQueueLimit = 16u << 20;
// Clients served at once; further connections are closed as soon as they are accepted.
constexpr int kTransferMaxClients = 64;
// Length of the packet header that a broadcast sends ahead of its data.
constexpr int kTransferHeaderSize = 20;
// How long Stop lets its clients take what is queued for them before it cuts them off.
constexpr auto kTransferFinishLimit = std::chrono::seconds(2);

class TransferServer final : public ITransferServer {
 public:
  // Binds `address`:`port` (port 0: any free port) and starts the I/O thread. Null, with a
  // log line, when the port cannot be bound or the thread cannot start.
  static TransferServer* Listen(const boost::asio::ip::address& address, unsigned short port);

  // IUnknown
  long QueryInterface(const GUID& iid, void** object) override;
  long AddRef() override;
  long Release() override;

  // ITransferServer
  int RegisterAcceptCallback(ITransferAccepterCB* callback, int flag) override;
  int Broadcast(const void* data, int size, const void* header, int* clientsReached) override;
  int GetClientCount() override;
  int Stop() override;

  // The port the listener is bound to.
  unsigned short BoundPort() const { return m_port; }

 private:
  TransferServer();
  ~TransferServer() override;

  bool Open(const boost::asio::ip::tcp::endpoint& endpoint);
  void RunIo();
  void StartAccepting();
  // I/O thread: the accept loop.
  void AcceptNext();
  void OnAccepted(const boost::system::error_code& error, boost::asio::ip::tcp::socket socket);
  void Admit(boost::asio::ip::tcp::socket socket);
  // Drops the clients that have gone away; m_clientsLock is held.
  void PruneClosedLocked();

  // Declared first so that it is destroyed last, after every socket and timer of its own.
  boost::asio::io_context m_io;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> m_work;
  boost::asio::ip::tcp::acceptor m_acceptor;  // I/O thread once started
  boost::asio::steady_timer m_acceptRetry;    // I/O thread
  bool m_fullLogged = false;                  // I/O thread
  unsigned short m_port = 0;                  // fixed by Listen

  std::atomic<long> m_refCount{1};
  std::atomic<bool> m_acceptStarted{false};

  std::recursive_mutex m_callbackLock;
  ITransferAccepterCB* m_callback = nullptr;  // guarded by m_callbackLock

  std::mutex m_clientsLock;
  std::vector<std::shared_ptr<TransferConnection>> m_clients;  // guarded by m_clientsLock
  bool m_stopped = false;                                      // guarded by m_clientsLock

  std::mutex m_controlLock;
  std::thread m_thread;  // started by Listen, joined under m_controlLock
};

// Creates a server on a free port chosen by the system, at the bind address of the
// settings file, and returns that port in `*boundPort`. For tests and tools, which must not
// count on any fixed port being free. Returns 1 or 0, like CreateServer.
int CreateServerOnAnyPort(ITransferServer** server, unsigned short* boundPort);

}  // namespace sorvo
