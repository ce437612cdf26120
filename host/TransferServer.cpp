#include "host/TransferServer.h"

#include <pthread.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "host/Log.h"
#include "host/ServerAddress.h"
#include "host/TransferConnection.h"
#include "host/ITransferAccepterCB.h"

using boost::asio::ip::tcp;

namespace sorvo {

namespace {

// After a failed accept (out of descriptors, most likely) the loop waits this long, so that
// it does not spin while the condition lasts.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

void LogLine(void (*log)(const char*, unsigned int, long), const char* format, ...)
    __attribute__((format(printf, 2, 3)));

void LogLine(void (*log)(const char*, unsigned int, long), const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  log(line, 0, 0);
}

TransferServer* ListenAtConfiguredAddress(unsigned short port) {
  const auto address = ServerBindAddress();
  return address ? TransferServer::Listen(*address, port) : nullptr;
}

}  // namespace

TransferServer::TransferServer()
    : m_work(boost::asio::make_work_guard(m_io)), m_acceptor(m_io), m_acceptRetry(m_io) {}

TransferServer::~TransferServer() { Stop(); }

TransferServer* TransferServer::Listen(const boost::asio::ip::address& address,
                                       unsigned short port) {
  auto* server = new TransferServer();
  if (!server->Open(tcp::endpoint(address, port))) {
    delete server;
    return nullptr;
  }
  return server;
}

bool TransferServer::Open(const tcp::endpoint& endpoint) {
  boost::system::error_code error;
  m_acceptor.open(endpoint.protocol(), error);
  // Lets a restarted recorder take its port back while old connections linger in
  // TIME_WAIT; a port with a live listener still fails to bind.
  if (!error) m_acceptor.set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) m_acceptor.bind(endpoint, error);
  if (!error) m_acceptor.listen(boost::asio::socket_base::max_listen_connections, error);
  if (!error) m_port = m_acceptor.local_endpoint(error).port();
  if (error) {
    LogLine(LogWarn, "transfer server: cannot listen on %s port %u: %s",
            endpoint.address().to_string().c_str(), static_cast<unsigned>(endpoint.port()),
            error.message().c_str());
    return false;
  }
  try {
    m_thread = std::thread([this] {
      const std::string name = "Transfer_" + std::to_string(m_port);
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      RunIo();
    });
  } catch (const std::system_error& failure) {
    LogLine(LogError, "transfer server on port %u: cannot start its thread: %s",
            static_cast<unsigned>(m_port), failure.what());
    return false;
  }
  LogLine(LogInfo, "transfer server listening on %s port %u",
          endpoint.address().to_string().c_str(), static_cast<unsigned>(m_port));
  return true;
}

void TransferServer::RunIo() {
  for (;;) {
    try {
      m_io.run();
      return;
    } catch (const std::exception& failure) {
      // A handler threw (out of memory, most likely); the loop itself is still sound.
      LogLine(LogError, "transfer server on port %u: %s", static_cast<unsigned>(m_port),
              failure.what());
    }
  }
}

long TransferServer::QueryInterface(const GUID& /*iid*/, void** /*object*/) { return 1; }

long TransferServer::AddRef() { return m_refCount.fetch_add(1) + 1; }

long TransferServer::Release() {
  const long count = m_refCount.fetch_sub(1) - 1;
  if (count <= 0) {
    delete this;
    return 0;
  }
  return count;
}

int TransferServer::RegisterAcceptCallback(ITransferAccepterCB* callback, int /*flag*/) {
  {
    std::lock_guard<std::recursive_mutex> hold(m_callbackLock);
    m_callback = callback;
  }
  StartAccepting();
  return 1;
}

int TransferServer::Broadcast(const void* data, int size, const void* header,
                              int* clientsReached) {
  if (clientsReached != nullptr) *clientsReached = 0;
  if (size < 0 || (data == nullptr && size > 0)) return 0;
  StartAccepting();

  int reached = 0;
  std::vector<std::string> dropped;
  {
    std::lock_guard<std::mutex> hold(m_clientsLock);
    if (m_stopped) return 0;
    PruneClosedLocked();
    if (m_clients.empty()) return 1;
    // One copy serves every client: the queues share it, and it goes away with the last
    // write that needs it.
    const size_t headerSize = header != nullptr ? kTransferHeaderSize : 0;
    std::shared_ptr<const TransferPacket> packet;
    if (headerSize + size > 0)
      packet = std::make_shared<const TransferPacket>(header, headerSize, data, size);
    for (const auto& client : m_clients) {
      const auto result = packet ? client->Queue(packet)
                                 : (client->IsClosed() ? TransferConnection::QueueResult::kClosed
                                                       : TransferConnection::QueueResult::kQueued);
      if (result == TransferConnection::QueueResult::kQueued) ++reached;
      if (result == TransferConnection::QueueResult::kOverflow) dropped.push_back(client->Peer());
    }
  }
  for (const auto& peer : dropped) {
    LogLine(LogWarn, "transfer server on port %u: client %s dropped, more than %zu bytes behind",
            static_cast<unsigned>(m_port), peer.c_str(), kTransferQueueLimit);
  }
  if (clientsReached != nullptr) *clientsReached = reached;
  return 1;
}

int TransferServer::GetClientCount() {
  std::lock_guard<std::mutex> hold(m_clientsLock);
  PruneClosedLocked();
  return static_cast<int>(m_clients.size());
}

int TransferServer::Stop() {
  std::lock_guard<std::mutex> control(m_controlLock);
  std::vector<std::shared_ptr<TransferConnection>> clients;
  {
    std::lock_guard<std::mutex> hold(m_clientsLock);
    m_stopped = true;
    clients.swap(m_clients);
  }
  // Each client is sent what was broadcast before the stop, then the end of the stream; one
  // that has not taken it all by the limit is cut off. From the I/O thread itself nothing
  // could be sent while it waited.
  const bool onIoThread = m_thread.get_id() == std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + kTransferFinishLimit;
  for (const auto& client : clients)
    client->Finish();
  for (const auto& client : clients)
    if (onIoThread || !client->WaitClosed(deadline))
      client->Close();
  boost::asio::post(m_io, [this] {
    boost::system::error_code ignored;
    m_acceptor.close(ignored);
    m_acceptRetry.cancel();
  });
  // Without the guard the loop ends once the closes above have run and the aborted
  // operations have unwound.
  m_work.reset();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
  return 1;
}

void TransferServer::StartAccepting() {
  if (m_acceptStarted.exchange(true)) return;
  boost::asio::post(m_io, [this] { AcceptNext(); });
}

void TransferServer::AcceptNext() {
  m_acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    OnAccepted(error, std::move(socket));
  });
}

void TransferServer::OnAccepted(const boost::system::error_code& error, tcp::socket socket) {
  if (error == boost::asio::error::operation_aborted || !m_acceptor.is_open()) return;
  if (error) {
    LogLine(LogWarn, "transfer server on port %u: accept failed: %s",
            static_cast<unsigned>(m_port), error.message().c_str());
    m_acceptRetry.expires_after(kAcceptRetryDelay);
    m_acceptRetry.async_wait([this](const boost::system::error_code& waitError) {
      if (!waitError) AcceptNext();
    });
    return;
  }
  // Armed first: the next accept cannot complete before this handler returns, and the loop
  // survives an OnAccept that throws.
  AcceptNext();
  Admit(std::move(socket));
}

void TransferServer::Admit(tcp::socket socket) {
  {
    std::lock_guard<std::mutex> hold(m_clientsLock);
    if (m_stopped) return;
    PruneClosedLocked();
    if (m_clients.size() >= static_cast<size_t>(kTransferMaxClients)) {
      boost::system::error_code ignored;
      socket.close(ignored);
      if (!m_fullLogged) {
        LogLine(LogWarn, "transfer server on port %u: %d clients connected, refusing more",
                static_cast<unsigned>(m_port), kTransferMaxClients);
        m_fullLogged = true;
      }
      return;
    }
  }
  m_fullLogged = false;
  auto client = std::make_shared<TransferConnection>(std::move(socket), kTransferQueueLimit);
  {
    std::lock_guard<std::recursive_mutex> hold(m_callbackLock);
    if (m_callback != nullptr) m_callback->OnAccept(client.get(), 0);
  }
  client->Start();
  std::lock_guard<std::mutex> hold(m_clientsLock);
  // Only now does the client take part in broadcasts, behind whatever OnAccept sent it.
  if (m_stopped)
    client->Close();
  else
    m_clients.push_back(std::move(client));
}

void TransferServer::PruneClosedLocked() {
  auto end = std::remove_if(m_clients.begin(), m_clients.end(),
                            [](const auto& client) { return client->IsClosed(); });
  m_clients.erase(end, m_clients.end());
}

int CreateServerOnAnyPort(ITransferServer** server, unsigned short* boundPort) {
  if (server == nullptr) return 0;
  *server = nullptr;
  TransferServer* created = ListenAtConfiguredAddress(0);
  if (created == nullptr) return 0;
  if (boundPort != nullptr) *boundPort = created->BoundPort();
  *server = created;
  return 1;
}

}  // namespace sorvo

int CreateServer(unsigned short port, ITransferServer** server, const char* /*text*/) {
  if (server == nullptr) return 0;
  *server = nullptr;
  if (port == 0) {
    // A port above 65535 truncated by the caller ends up here too, so say why.
    LogWarn("transfer server: port 0 asks for no server; none started", 0, 0);
    return 0;
  }
  *server = sorvo::ListenAtConfiguredAddress(port);
  return *server != nullptr ? 1 : 0;
}
