#include "tools/record/console/HttpStream.h"

namespace sorvo::tools {

HttpStream::HttpStream(ConsoleService& service, HandedOver connection)
    : ServiceClient(service, std::move(connection.ticket)),
      m_stream(std::move(connection.stream)) {}

void HttpStream::Begin(unsigned version, const std::string& contentType) {
  m_open = true;
  m_head = std::string(version == 10 ? "HTTP/1.0" : "HTTP/1.1") +
           " 200 OK\r\n"
           "Server: sorvo-record\r\n"
           "Content-Type: " +
           contentType +
           "\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "Connection: close\r\n\r\n";
  Write(boost::asio::buffer(m_head));
  WatchForClose();
}

void HttpStream::WatchForClose() {
  // Reads on the bare socket, past the stream's write timeout: a client sends nothing more,
  // so anything ending this read means it has gone.
  m_stream.socket().async_read_some(boost::asio::buffer(m_ignored),
                                    [self = shared_from_this()](beast::error_code error, size_t) {
                                      if (error)
                                        return self->Closed();
                                      self->WatchForClose();
                                    });
}

void HttpStream::Closed() {
  m_stream.close();
  Left();
}

}  // namespace sorvo::tools
