#include "tools/record/console/MjpegStream.h"

#include <array>

#include "tools/record/console/ConsoleService.h"

namespace sorvo::tools {

MjpegStream::MjpegStream(ConsoleService& service, HandedOver connection, int slot)
    : ServiceClient(service, std::move(connection.ticket)),
      m_stream(std::move(connection.stream)),
      m_slot(slot) {}

void MjpegStream::Start(unsigned version) {
  m_open = true;
  m_head = std::string(version == 10 ? "HTTP/1.0" : "HTTP/1.1") +
           " 200 OK\r\n"
           "Server: sorvo-record\r\n"
           "Content-Type: multipart/x-mixed-replace; boundary=" +
           kBoundary +
           "\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Connection: close\r\n\r\n";
  m_busy = true;
  m_stream.expires_after(m_settings.writeTimeout);
  boost::asio::async_write(m_stream, boost::asio::buffer(m_head),
                           [self = shared_from_this()](beast::error_code error, size_t) {
                             self->m_busy = false;
                             if (error)
                               return self->Closed();
                             self->Pump();
                           });
  WatchForClose();
}

void MjpegStream::SendPicture(Message jpeg) {
  if (!m_open)
    return;
  m_next = std::move(jpeg);
  Pump();
}

void MjpegStream::Pump() {
  if (!m_open || m_busy || !m_next)
    return;
  m_writing = std::move(m_next);
  m_head = std::string("--") + kBoundary +
           "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(m_writing->size()) +
           "\r\n\r\n";
  static const char kEnd[] = "\r\n";
  const std::array<boost::asio::const_buffer, 3> part{
      boost::asio::buffer(m_head), boost::asio::buffer(*m_writing), boost::asio::buffer(kEnd, 2)};
  m_busy = true;
  m_stream.expires_after(m_settings.writeTimeout);
  boost::asio::async_write(m_stream, part,
                           [self = shared_from_this()](beast::error_code error, size_t) {
                             self->m_busy = false;
                             self->m_writing.reset();
                             if (error)
                               return self->Closed();
                             self->Pump();
                           });
}

void MjpegStream::WatchForClose() {
  // Reads on the bare socket, past the stream's write timeout: a viewer sends nothing more,
  // so anything ending this read means it has gone.
  m_stream.socket().async_read_some(boost::asio::buffer(m_ignored),
                                    [self = shared_from_this()](beast::error_code error, size_t) {
                                      if (error)
                                        return self->Closed();
                                      self->WatchForClose();
                                    });
}

void MjpegStream::Close() {
  Closed();
}

void MjpegStream::Closed() {
  m_stream.close();
  Left();
}

}  // namespace sorvo::tools
