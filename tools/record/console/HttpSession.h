// One HTTP connection to the console: reads one request at a time, bounded in size and in
// time (its first byte must come within moments), hands it to the service and writes the
// answer the service gives. While it waits for a request it is one of the admission's
// waiting connections; while a request is answered it holds the slot the service gave it.
// The service may take the connection over instead, slot and all (for a WebSocket or a
// picture stream).
//
// Threads: the network thread only. The session keeps itself alive through the handlers
// it has pending.
#pragma once

#include <memory>
#include <optional>

#include "tools/record/console/ConnectionAdmission.h"
#include "tools/record/console/ConsoleSettings.h"
#include "tools/record/console/HttpTypes.h"
#include "tools/record/console/ServiceClient.h"

namespace sorvo::tools {

class ConsoleService;

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket,
              ConsoleService& service,
              const ConsoleSettings& settings,
              ConnectionAdmission& admission);

  void Start();
  // The slot the request being answered holds, until its answer is written.
  void Hold(ConnectionTicket ticket) { m_ticket = std::move(ticket); }
  // Writes `response`, then reads the next request, or closes when the answer says so.
  void Reply(HttpResponse response);
  // Closes at once (the console shuts down).
  void Close();

  // For a new owner of the connection; the session is done afterwards.
  HandedOver HandOver();

 private:
  // Waits for the first byte of a request, then reads it whole.
  void Read();
  void ReadRest();
  void OnRead(beast::error_code error);
  void OnWritten(bool close, beast::error_code error);
  // Answers a request that could not be read whole, then closes.
  void Refuse(int status, const std::string& reason);
  // Stops sending, reads (and drops) what the client still sends for a moment, so that
  // closing does not reset the connection before the client has read the answer.
  void Linger();

  beast::tcp_stream m_stream;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::string_body>> m_parser;
  std::shared_ptr<HttpResponse> m_response;  // while it is written
  ConsoleService& m_service;
  const ConsoleSettings& m_settings;
  ConnectionAdmission& m_admission;
  boost::asio::ip::address m_address;
  ConnectionTicket m_ticket;
  bool m_handedOver = false;
  char m_drain[4096];
  size_t m_drained = 0;
};

}  // namespace sorvo::tools
