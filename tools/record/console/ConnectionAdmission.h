// Who may hold the console's connections, so that nobody can keep the operator out:
// - a connection that has not sent a whole request yet is waiting: it must send its first
//   byte within a moment (HttpSession) and costs no slot, and of the waiting connections
//   from one address only the newest few are kept (the oldest is closed when another
//   comes), as are only the newest of all; so idle sockets, however many, never turn a
//   newcomer away;
// - a request read whole takes a slot while it is answered, and keeps it as a WebSocket or
//   a stream: requests without the console's token share the general slots, requests with
//   it may also take the slots kept for them.
//
// Threads: the network thread only.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <list>
#include <memory>
#include <optional>

#include "tools/record/console/ConsoleSettings.h"
#include "tools/record/console/HttpTypes.h"

namespace sorvo::tools {

class HttpSession;

class ConnectionAdmission {
 public:
  explicit ConnectionAdmission(const ConsoleSettings& settings) : m_settings(settings) {}
  ConnectionAdmission(const ConnectionAdmission&) = delete;
  ConnectionAdmission& operator=(const ConnectionAdmission&) = delete;

  // `session` (from `address`) waits for a request; the oldest waiting connections beyond
  // the limits are closed.
  void Waiting(const std::shared_ptr<HttpSession>& session,
               const boost::asio::ip::address& address);
  // It no longer waits (it has a request, or it closed).
  void Done(const HttpSession* session);

  // A slot for a request read whole; none when the slots it may take are all held.
  std::optional<ConnectionTicket> Slot(bool tokenHeld);
  // Slots held now.
  int held() const { return *m_held; }
  int waiting() const { return static_cast<int>(m_waiting.size()); }

 private:
  struct Entry {
    boost::asio::ip::address address;
    std::weak_ptr<HttpSession> session;
    const HttpSession* key;
  };
  // Closes the entry's session, if it still lives, once it is out of the list.
  void Evict(std::list<Entry>::iterator entry);

  const ConsoleSettings& m_settings;
  std::list<Entry> m_waiting;  // oldest first
  std::shared_ptr<int> m_held = std::make_shared<int>(0);
};

}  // namespace sorvo::tools
