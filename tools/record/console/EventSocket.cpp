#include "tools/record/console/EventSocket.h"

#include "tools/record/console/ConsoleService.h"

namespace sorvo::tools {

namespace websocket = boost::beast::websocket;

EventSocket::EventSocket(ConsoleService& service, HandedOver connection, bool thumbnails)
    : ServiceClient(service, std::move(connection.ticket)),
      m_socket(std::move(connection.stream)),
      m_thumbnails(thumbnails),
      m_writeTimer(m_socket.get_executor()) {}

void EventSocket::Accept(HttpRequest request) {
  beast::get_lowest_layer(m_socket).expires_never();
  websocket::stream_base::timeout timeouts;
  timeouts.handshake_timeout = m_settings.handshakeTimeout;
  timeouts.idle_timeout = m_settings.socketIdleTimeout;
  timeouts.keep_alive_pings = true;
  m_socket.set_option(timeouts);
  m_socket.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
    response.set(http::field::server, "sorvo-record");
  }));
  m_socket.read_message_max(1024);
  m_busy = true;
  m_socket.async_accept(request, [self = shared_from_this()](beast::error_code error) {
    self->m_busy = false;
    if (error)
      return self->Closed();
    self->m_open = true;
    self->m_service.EventSocketOpened(self);
    self->ReadNext();
    self->Pump();
  });
}

void EventSocket::SendEvent(Message text) {
  if (!m_open || m_finishing)
    return;
  if (m_events.size() >= m_settings.eventBacklog) {
    // Too far behind to be of use: it reconnects and starts afresh.
    m_events.clear();
    return Finish();
  }
  m_events.push_back(std::move(text));
  Pump();
}

void EventSocket::SendStatus(Message text) {
  if (!m_open || m_finishing)
    return;
  m_status = std::move(text);
  Pump();
}

void EventSocket::SendPicture(int slot, Message jpeg) {
  if (!m_open || m_finishing || !m_thumbnails)
    return;
  m_pictures[slot] = std::move(jpeg);
  Pump();
}

void EventSocket::Finish() {
  if (!m_open || m_finishing)
    return;
  m_finishing = true;
  Pump();
}

void EventSocket::Pump() {
  if (!m_open || m_busy)
    return;
  if (!m_events.empty()) {
    Message text = std::move(m_events.front());
    m_events.pop_front();
    return Write(false, std::move(text));
  }
  if (m_status)
    return Write(false, std::move(m_status));
  for (int i = 0; i < kPictureSlots; ++i) {
    const int slot = (m_nextPicture + i) % kPictureSlots;
    if (!m_pictures[slot])
      continue;
    m_nextPicture = (slot + 1) % kPictureSlots;
    m_slotByte = static_cast<unsigned char>(slot);
    return Write(true, std::move(m_pictures[slot]));
  }
  if (m_finishing) {
    m_busy = true;
    m_socket.async_close(websocket::close_code::going_away,
                         [self = shared_from_this()](beast::error_code) { self->Closed(); });
  }
}

void EventSocket::Write(bool binary, Message payload) {
  m_busy = true;
  m_writing = std::move(payload);
  m_socket.binary(binary);
  m_writeTimer.expires_after(m_settings.writeTimeout);
  m_writeTimer.async_wait([weak = weak_from_this()](beast::error_code error) {
    auto self = weak.lock();
    if (error || !self)
      return;
    // The client takes nothing: give up on it.
    beast::get_lowest_layer(self->m_socket).close();
  });
  auto done = [self = shared_from_this()](beast::error_code error, size_t) {
    self->OnWritten(error);
  };
  if (binary) {
    const std::array<boost::asio::const_buffer, 2> message{boost::asio::buffer(&m_slotByte, 1),
                                                           boost::asio::buffer(*m_writing)};
    m_socket.async_write(message, std::move(done));
  } else {
    m_socket.async_write(boost::asio::buffer(*m_writing), std::move(done));
  }
}

void EventSocket::OnWritten(beast::error_code error) {
  m_writeTimer.cancel();
  m_writing.reset();
  m_busy = false;
  if (error)
    return Closed();
  Pump();
}

void EventSocket::ReadNext() {
  m_socket.async_read(m_incoming, [self = shared_from_this()](beast::error_code error, size_t) {
    if (error)
      return self->Closed();
    self->OnMessage(beast::buffers_to_string(self->m_incoming.data()));
    self->m_incoming.clear();
    self->ReadNext();
  });
}

void EventSocket::OnMessage(const std::string& text) {
  const Json message = Json::parse(text, nullptr, false);
  if (!message.is_object())
    return;
  const auto live = message.find("programLive");
  if (live == message.end() || !live->is_boolean() || live->get<bool>() == m_programLive)
    return;
  m_programLive = live->get<bool>();
  m_service.AudienceChanged();
}

void EventSocket::Closed() {
  m_writeTimer.cancel();
  beast::get_lowest_layer(m_socket).close();
  Left();
}

}  // namespace sorvo::tools
