#include "tools/record/console/ConnectionAdmission.h"

#include <algorithm>

#include "tools/record/console/HttpSession.h"

namespace sorvo::tools {

void ConnectionAdmission::Waiting(const std::shared_ptr<HttpSession>& session,
                                  const boost::asio::ip::address& address) {
  Done(session.get());
  m_waiting.push_back({address, session, session.get()});
  const auto same = [&address](const Entry& entry) { return entry.address == address; };
  if (std::count_if(m_waiting.begin(), m_waiting.end(), same) > m_settings.waitingPerAddress)
    Evict(std::find_if(m_waiting.begin(), m_waiting.end(), same));
  if (static_cast<int>(m_waiting.size()) > m_settings.waitingConnections)
    Evict(m_waiting.begin());
}

void ConnectionAdmission::Done(const HttpSession* session) {
  m_waiting.remove_if([session](const Entry& entry) { return entry.key == session; });
}

void ConnectionAdmission::Evict(std::list<Entry>::iterator entry) {
  const std::shared_ptr<HttpSession> session = entry->session.lock();
  m_waiting.erase(entry);
  if (session)
    session->Close();
}

std::optional<ConnectionTicket> ConnectionAdmission::Slot(bool tokenHeld) {
  const int limit = m_settings.maxConnections + (tokenHeld ? m_settings.tokenConnections : 0);
  if (*m_held >= limit)
    return std::nullopt;
  return ConnectionTicket(m_held);
}

}  // namespace sorvo::tools
