// Decides whether a request may reach the console at all, from its headers alone:
// - Host must name this console by an IP address (or localhost) and its port, so that a
//   web page whose name an attacker re-points at this machine (DNS rebinding) is refused;
// - Origin, when a browser sends one, must be the console's own page, so that another site
//   open in the operator's browser cannot switch or stop the recording, nor read it;
// - the token must come with every request that changes something, and with every API
//   request when the console listens on an address other machines can reach.
//
// Immutable after construction; any thread.
#pragma once

#include <string>
#include <string_view>

#include "tools/record/console/ConsoleAddress.h"

namespace sorvo::tools {

struct RequestFacts {
  bool hasHost = false;
  std::string_view host;
  bool hasOrigin = false;
  std::string_view origin;
  // From "Authorization: Bearer TOKEN", else the query's token=TOKEN; empty when neither.
  std::string_view token;
  bool changesState = false;  // a POST
  bool api = false;           // under /api/
};

struct GuardVerdict {
  int status = 0;  // 0: let it through; else the 4xx to answer with
  std::string reason;
  bool allowed() const { return status == 0; }
};

class RequestGuard {
 public:
  // `bound` is the address listened on, with the port actually bound.
  RequestGuard(const ConsoleAddress& bound, std::string token);

  GuardVerdict Check(const RequestFacts& request) const;
  bool HostAllowed(std::string_view host) const;
  // An Origin is allowed when it is "http://" followed by the (allowed) Host.
  bool OriginAllowed(std::string_view origin, std::string_view host) const;
  // Whether a GET under /api/ needs the token too.
  bool ReadsNeedToken() const { return !m_bound.Loopback(); }
  const std::string& token() const { return m_token; }

 private:
  ConsoleAddress m_bound;
  std::string m_token;
};

// The token a request carries: "Authorization: Bearer T" (`authorization` is that header's
// value, possibly empty), else "token=T" in the query string of `target`.
std::string_view PresentedToken(std::string_view authorization, std::string_view target);

}  // namespace sorvo::tools
