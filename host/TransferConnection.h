// One client of the transfer server: its socket and the bounded queue of packets that still
// have to reach it.
//
// Ownership: held by shared_ptr. The server's client list and every pending I/O handler of
// the connection keep it alive; the ITransferConnection pointer handed to OnAccept is valid
// for that call only.
//
// Threads: Queue, Send, Close, IsClosed and Peer may be called from any thread (the
// broadcasting thread, the server's I/O thread inside OnAccept, the thread that stops the
// server). The socket is only ever touched on the server's I/O thread: Start runs there, and
// every other call reaches the socket by posting to the I/O thread.
//
// Locks: m_lock guards m_queue, m_queuedBytes, m_writing, m_finishing and m_closed; m_ended
// waits on it. m_socket, m_inFlight,
// m_writeBuffers and m_readBuffer belong to the I/O thread and need no lock. m_lock is taken
// after the server's client lock, and no other lock is taken while it is held.
#pragma once

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/ITransferServer.h"
#include "host/TransferPacket.h"

namespace sorvo {

class TransferConnection final : public ITransferConnection,
                                 public std::enable_shared_from_this<TransferConnection> {
 public:
  enum class QueueResult {
    kQueued,    // the packet will be written after everything queued before it
    kClosed,    // the connection had already ended; nothing was queued
    kOverflow,  // the packet did not fit: the connection has now been closed
  };

  // Runs on the I/O thread with a freshly accepted socket. Nothing is read before Start.
  TransferConnection(boost::asio::ip::tcp::socket socket, size_t queueLimit);
  ~TransferConnection() override;
  TransferConnection(const TransferConnection&) = delete;
  TransferConnection& operator=(const TransferConnection&) = delete;

  // ITransferConnection. Send copies the bytes into a packet of this client's own and
  // queues it like a broadcast.
  int Send(const void* data, int size) override;
  int Setup(int option, int value) override;

  // Queues `packet` behind everything queued before. A client with nothing pending always
  // takes the packet, so one packet larger than the limit cannot cut off a healthy client;
  // otherwise a packet that would take the queued bytes over the limit closes the
  // connection, as a client that far behind has lost the stream anyway.
  QueueResult Queue(std::shared_ptr<const TransferPacket> packet);

  // I/O thread only: begins discarding what the client sends, and with it the watch for
  // the client going away.
  void Start();

  // Drops what is queued and closes the socket (on the I/O thread). Idempotent.
  void Close();
  // Takes no more packets, writes out what is queued, then shuts the connection down in
  // order (the client reads every byte, then the end of the stream) and closes it.
  void Finish();
  // Waits until the connection is closed, or `deadline`; whether it is.
  bool WaitClosed(std::chrono::steady_clock::time_point deadline);

  bool IsClosed() const;
  const std::string& Peer() const { return m_peer; }

 private:
  // Marks the connection closed and frees the queue; m_lock is held.
  void MarkClosedLocked();
  void PostCloseSocket();
  // I/O thread: what Finish ends with once everything queued is written.
  void ShutDownSocket();
  // I/O thread: writes the next run of queued packets, or ends the write loop when none.
  void WriteNext();
  void OnWritten(const boost::system::error_code& error);
  // I/O thread: the discard loop.
  void ReadNext();

  // Limits of one gathering write (the first packet always goes, whatever its size). The
  // bytes of a write count against the queue limit until all of it has gone, so a long
  // write would make a client look further behind than it is.
  static constexpr size_t kMaxBatchPackets = 64;
  static constexpr size_t kMaxBatchBytes = 256 * 1024;

  const boost::asio::any_io_executor m_executor;
  const size_t m_queueLimit;
  const std::string m_peer;  // "address:port" of the client, fixed at accept

  mutable std::mutex m_lock;
  std::condition_variable m_ended;                            // m_closed became true
  std::deque<std::shared_ptr<const TransferPacket>> m_queue;  // guarded by m_lock
  size_t m_queuedBytes = 0;  // guarded by m_lock; m_queue plus m_inFlight
  bool m_writing = false;    // guarded by m_lock; a write is posted or in flight
  bool m_finishing = false;  // guarded by m_lock; Finish was called
  bool m_closed = false;     // guarded by m_lock

  boost::asio::ip::tcp::socket m_socket;                       // I/O thread
  std::vector<std::shared_ptr<const TransferPacket>> m_inFlight;  // I/O thread
  std::vector<boost::asio::const_buffer> m_writeBuffers;       // I/O thread
  std::array<char, 16384> m_readBuffer;                        // I/O thread
};

}  // namespace sorvo
