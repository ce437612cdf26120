// What the console's long-lived clients (an EventSocket, an MjpegStream) share: the
// connection they take over from an HttpSession, counted among the console's while the
// client lives; the service they report to; and whether they are open. A client that was
// open tells the service, once, that the audience changed when it closes.
//
// Threads: the network thread only.
#pragma once

#include "tools/record/console/ConsoleSettings.h"
#include "tools/record/console/HttpTypes.h"

namespace sorvo::tools {

class ConsoleService;

// A connection an HttpSession hands over, with its place in the connection count.
struct HandedOver {
  beast::tcp_stream stream;
  ConnectionTicket ticket;
};

class ServiceClient {
 public:
  bool open() const { return m_open; }

 protected:
  ServiceClient(ConsoleService& service, ConnectionTicket ticket);
  ~ServiceClient() = default;
  ServiceClient(const ServiceClient&) = delete;
  ServiceClient& operator=(const ServiceClient&) = delete;

  // No longer open; the service hears of it if the client was.
  void Left();

  ConsoleService& m_service;
  const ConsoleSettings& m_settings;
  bool m_open = false;

 private:
  ConnectionTicket m_ticket;
};

}  // namespace sorvo::tools
