#include "host/TransferConnection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <utility>

namespace sorvo {

namespace {

std::string PeerName(const boost::asio::ip::tcp::socket& socket) {
  boost::system::error_code error;
  const auto endpoint = socket.remote_endpoint(error);
  if (error) return "unknown peer";
  return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

}  // namespace

TransferConnection::TransferConnection(boost::asio::ip::tcp::socket socket, size_t queueLimit)
    : m_executor(socket.get_executor()),
      m_queueLimit(queueLimit),
      m_peer(PeerName(socket)),
      m_socket(std::move(socket)) {
  boost::system::error_code ignored;
  // Packets are written whole; holding back a small one (an audio frame) to fill a segment
  // would only add delay.
  m_socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

TransferConnection::~TransferConnection() = default;

int TransferConnection::Send(const void* data, int size) {
  if (size < 0 || (data == nullptr && size > 0)) return 0;
  if (size == 0) return IsClosed() ? 0 : 1;
  auto packet = std::make_shared<const TransferPacket>(nullptr, 0, data, static_cast<size_t>(size));
  return Queue(std::move(packet)) == QueueResult::kQueued ? 1 : 0;
}

int TransferConnection::Setup(int /*option*/, int /*value*/) { return 1; }

TransferConnection::QueueResult TransferConnection::Queue(
    std::shared_ptr<const TransferPacket> packet) {
  bool overflow = false;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed || m_finishing)
      return QueueResult::kClosed;
    overflow = m_queuedBytes > 0 && m_queuedBytes + packet->size() > m_queueLimit;
    if (overflow) {
      MarkClosedLocked();
    } else {
      m_queuedBytes += packet->size();
      m_queue.push_back(std::move(packet));
      if (m_writing) return QueueResult::kQueued;
      m_writing = true;
    }
  }
  if (overflow) {
    PostCloseSocket();
    return QueueResult::kOverflow;
  }
  boost::asio::post(m_executor, [self = shared_from_this()] { self->WriteNext(); });
  return QueueResult::kQueued;
}

void TransferConnection::Start() { ReadNext(); }

void TransferConnection::Close() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed) return;
    MarkClosedLocked();
  }
  PostCloseSocket();
}

void TransferConnection::Finish() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed || m_finishing)
      return;
    m_finishing = true;
    // A write under way ends in WriteNext, which finishes once the queue is empty.
    if (m_writing)
      return;
    m_writing = true;
  }
  boost::asio::post(m_executor, [self = shared_from_this()] { self->WriteNext(); });
}

bool TransferConnection::WaitClosed(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_ended.wait_until(hold, deadline, [this] { return m_closed; });
}

void TransferConnection::ShutDownSocket() {
  // What the client sent is read first: a socket closed with unread bytes in it resets the
  // connection, and the client would lose what is still on its way to it.
  char discard[4096];
  while (recv(m_socket.native_handle(), discard, sizeof(discard), MSG_DONTWAIT) > 0) {
  }
  boost::system::error_code ignored;
  m_socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
  m_socket.close(ignored);
  std::lock_guard<std::mutex> hold(m_lock);
  if (!m_closed)
    MarkClosedLocked();
}

bool TransferConnection::IsClosed() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_closed;
}

void TransferConnection::MarkClosedLocked() {
  m_closed = true;
  m_ended.notify_all();
  // The packets in flight are the I/O thread's; their bytes come off when the write ends.
  for (const auto& packet : m_queue) m_queuedBytes -= packet->size();
  m_queue.clear();
}

void TransferConnection::PostCloseSocket() {
  boost::asio::post(m_executor, [self = shared_from_this()] {
    boost::system::error_code ignored;
    // Cancels the pending read and write; their handlers see the abort and end the loops.
    self->m_socket.close(ignored);
  });
}

void TransferConnection::WriteNext() {
  bool finish = false;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_closed || m_queue.empty()) {
      m_writing = false;
      finish = !m_closed && m_finishing;
    } else {
      size_t batchBytes = 0;
      do {
        batchBytes += m_queue.front()->size();
        m_inFlight.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
      } while (!m_queue.empty() && m_inFlight.size() < kMaxBatchPackets &&
               batchBytes + m_queue.front()->size() <= kMaxBatchBytes);
    }
  }
  if (finish)
    ShutDownSocket();
  if (m_inFlight.empty())
    return;
  m_writeBuffers.clear();
  for (const auto& packet : m_inFlight)
    m_writeBuffers.emplace_back(packet->data(), packet->size());
  boost::asio::async_write(m_socket, m_writeBuffers,
                           [self = shared_from_this()](const boost::system::error_code& error,
                                                       size_t /*written*/) {
                             self->OnWritten(error);
                           });
}

void TransferConnection::OnWritten(const boost::system::error_code& error) {
  size_t written = 0;
  for (const auto& packet : m_inFlight) written += packet->size();
  m_inFlight.clear();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_queuedBytes -= written;
  }
  if (error) {
    Close();
    return;
  }
  WriteNext();
}

void TransferConnection::ReadNext() {
  // What a client sends has no meaning here; it is read only so that a talkative client
  // cannot fill its buffers, and so that its going away is noticed.
  m_socket.async_read_some(boost::asio::buffer(m_readBuffer),
                           [self = shared_from_this()](const boost::system::error_code& error,
                                                       size_t /*read*/) {
                             if (error) {
                               self->Close();
                               return;
                             }
                             self->ReadNext();
                           });
}

}  // namespace sorvo
