#include "tools/record/console/RequestGuard.h"

#include <boost/asio/ip/address.hpp>
#include <cctype>

#include "tools/record/console/AccessToken.h"

namespace sorvo::tools {
namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Splits "name:port", "[v6]:port" or a bare name (port 80, as a browser leaves it out).
bool SplitHost(std::string_view host, std::string_view* name, unsigned* port) {
  std::string_view portText;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos)
      return false;
    *name = host.substr(1, close - 1);
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':')
        return false;
      portText = host.substr(close + 2);
    }
  } else {
    const size_t colon = host.find(':');
    *name = host.substr(0, colon);
    if (colon != std::string_view::npos)
      portText = host.substr(colon + 1);
  }
  if (name->empty())
    return false;
  if (portText.empty()) {
    *port = 80;
    return host.back() != ':';
  }
  if (portText.size() > 5)
    return false;
  unsigned value = 0;
  for (char c : portText) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  *port = value;
  return true;
}

}  // namespace

RequestGuard::RequestGuard(const ConsoleAddress& bound, std::string token)
    : m_bound(bound), m_token(std::move(token)) {}

bool RequestGuard::HostAllowed(std::string_view host) const {
  std::string_view name;
  unsigned port = 0;
  if (!SplitHost(host, &name, &port) || port != m_bound.port)
    return false;
  if (EqualNoCase(name, "localhost"))
    return m_bound.Loopback() || m_bound.address.is_unspecified();
  boost::system::error_code failed;
  const boost::asio::ip::address named = boost::asio::ip::make_address(std::string(name), failed);
  if (failed)
    return false;  // a name: it could be made to point anywhere
  if (m_bound.address.is_unspecified())
    return true;
  if (m_bound.Loopback())
    return named.is_loopback();
  return named == m_bound.address;
}

bool RequestGuard::OriginAllowed(std::string_view origin, std::string_view host) const {
  constexpr std::string_view kScheme = "http://";
  return origin.size() > kScheme.size() && EqualNoCase(origin.substr(0, kScheme.size()), kScheme) &&
         EqualNoCase(origin.substr(kScheme.size()), host) && HostAllowed(host);
}

GuardVerdict RequestGuard::Check(const RequestFacts& request) const {
  if (!request.hasHost || request.host.empty())
    return {400, "the request has no Host header"};
  if (!HostAllowed(request.host))
    return {421, "this console answers only to its own address, not to Host: " +
                     std::string(request.host.substr(0, 100))};
  if (request.hasOrigin && !OriginAllowed(request.origin, request.host))
    return {403, "requests from another site are refused (Origin: " +
                     std::string(request.origin.substr(0, 100)) + ")"};
  const bool needsToken = request.changesState || (request.api && ReadsNeedToken());
  if (needsToken) {
    if (request.token.empty())
      return {401, "this request needs the console's token (Authorization: Bearer TOKEN)"};
    if (!TokensEqual(request.token, m_token))
      return {403, "wrong token"};
  }
  return {};
}

std::string_view PresentedToken(std::string_view authorization, std::string_view target) {
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.size() > kBearer.size() &&
      EqualNoCase(authorization.substr(0, kBearer.size()), kBearer))
    return authorization.substr(kBearer.size());
  const size_t query = target.find('?');
  if (query == std::string_view::npos)
    return {};
  std::string_view rest = target.substr(query + 1);
  while (!rest.empty()) {
    const size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    if (pair.substr(0, 6) == "token=")
      return pair.substr(6);
    if (amp == std::string_view::npos)
      break;
    rest = rest.substr(amp + 1);
  }
  return {};
}

}  // namespace sorvo::tools
