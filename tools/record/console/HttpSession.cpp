#include "tools/record/console/HttpSession.h"

#include "tools/record/console/ConsoleService.h"

namespace sorvo::tools {
namespace {

// What a client may still send after a refused request before the connection is closed.
constexpr size_t kLingerBytes = 64 * 1024;
constexpr std::chrono::milliseconds kLingerTime{1000};

}  // namespace

HttpSession::HttpSession(tcp::socket socket,
                         ConsoleService& service,
                         const ConsoleSettings& settings,
                         ConnectionAdmission& admission)
    : m_stream(std::move(socket)),
      m_service(service),
      m_settings(settings),
      m_admission(admission) {
  beast::error_code ignored;
  m_address = m_stream.socket().remote_endpoint(ignored).address();
}

void HttpSession::Start() {
  Read();
}

void HttpSession::Read() {
  m_ticket = ConnectionTicket();
  m_admission.Waiting(shared_from_this(), m_address);
  if (m_buffer.size() > 0)
    return ReadRest();  // the client sent its next request already
  m_stream.expires_after(m_settings.firstByteTimeout);
  m_stream.async_read_some(m_buffer.prepare(m_settings.maxHeaderBytes),
                           [self = shared_from_this()](beast::error_code error, size_t bytes) {
                             if (error)
                               return self->OnRead(error);
                             self->m_buffer.commit(bytes);
                             self->ReadRest();
                           });
}

void HttpSession::ReadRest() {
  m_parser.emplace();
  m_parser->header_limit(static_cast<std::uint32_t>(m_settings.maxHeaderBytes));
  m_parser->body_limit(m_settings.maxBodyBytes);
  m_stream.expires_after(m_settings.requestTimeout);
  http::async_read(
      m_stream, m_buffer, *m_parser,
      [self = shared_from_this()](beast::error_code error, size_t) { self->OnRead(error); });
}

void HttpSession::OnRead(beast::error_code error) {
  if (error == http::error::body_limit)
    return Refuse(413, "the request body is larger than " +
                           std::to_string(m_settings.maxBodyBytes) + " bytes");
  if (error == http::error::header_limit)
    return Refuse(431, "the request header is larger than " +
                           std::to_string(m_settings.maxHeaderBytes) + " bytes");
  if (error == http::error::end_of_stream || error == beast::error::timeout ||
      error == boost::asio::error::operation_aborted || error == boost::asio::error::eof ||
      error == boost::asio::error::connection_reset)
    return Close();
  if (error)
    return Refuse(400, "malformed request: " + error.message());
  m_stream.expires_never();
  m_admission.Done(this);
  m_service.Handle(shared_from_this(), m_parser->release());
}

void HttpSession::Reply(HttpResponse response) {
  m_response = std::make_shared<HttpResponse>(std::move(response));
  const bool close = m_response->need_eof();
  m_stream.expires_after(m_settings.writeTimeout);
  http::async_write(m_stream, *m_response,
                    [self = shared_from_this(), close](beast::error_code error, size_t) {
                      self->OnWritten(close, error);
                    });
}

void HttpSession::OnWritten(bool close, beast::error_code error) {
  m_response.reset();
  if (error)
    return Close();
  if (close) {
    m_ticket = ConnectionTicket();  // answered: a lingering close holds no slot
    return Linger();
  }
  Read();
}

void HttpSession::Refuse(int status, const std::string& reason) {
  Reply(ErrorResponse(status, reason, 11, /*keepAlive=*/false));
}

void HttpSession::Linger() {
  beast::error_code ignored;
  m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
  m_stream.expires_after(kLingerTime);
  m_stream.async_read_some(boost::asio::buffer(m_drain),
                           [self = shared_from_this()](beast::error_code error, size_t bytes) {
                             self->m_drained += bytes;
                             if (error || self->m_drained > kLingerBytes)
                               return self->Close();
                             self->Linger();
                           });
}

HandedOver HttpSession::HandOver() {
  m_handedOver = true;
  return {std::move(m_stream), std::move(m_ticket)};
}

void HttpSession::Close() {
  m_admission.Done(this);
  m_ticket = ConnectionTicket();
  if (m_handedOver)
    return;
  beast::error_code ignored;
  m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  m_stream.socket().close(ignored);
}

}  // namespace sorvo::tools
