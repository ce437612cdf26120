#include "tools/record/console/ServiceClient.h"

#include "tools/record/console/ConsoleService.h"

namespace sorvo::tools {

ServiceClient::ServiceClient(ConsoleService& service, ConnectionTicket ticket)
    : m_service(service), m_settings(service.settings()), m_ticket(std::move(ticket)) {}

void ServiceClient::Left() {
  const bool wasOpen = m_open;
  m_open = false;
  if (wasOpen)
    m_service.AudienceChanged();
}

}  // namespace sorvo::tools
