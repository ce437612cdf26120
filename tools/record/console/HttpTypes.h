// The Beast types the console's connections share, and the answers they write.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <string>

#include "tools/common/Json.h"

namespace sorvo::tools {

namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;
using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;

// Counts a connection while it lives; moved along when a connection changes hands (to a
// WebSocket or a picture stream). The count belongs to the network thread.
class ConnectionTicket {
 public:
  ConnectionTicket() = default;
  explicit ConnectionTicket(std::shared_ptr<int> count) : m_count(std::move(count)) { ++*m_count; }
  ~ConnectionTicket() {
    if (m_count)
      --*m_count;
  }
  ConnectionTicket(ConnectionTicket&&) = default;
  // Gives back the slot held before, if any.
  ConnectionTicket& operator=(ConnectionTicket&& other) noexcept {
    if (this != &other) {
      if (m_count)
        --*m_count;
      m_count = std::move(other.m_count);
    }
    return *this;
  }
  ConnectionTicket(const ConnectionTicket&) = delete;
  ConnectionTicket& operator=(const ConnectionTicket&) = delete;

 private:
  std::shared_ptr<int> m_count;
};

// An answer with the headers every answer of the console carries.
HttpResponse MakeResponse(int status,
                          const std::string& contentType,
                          std::string body,
                          unsigned version,
                          bool keepAlive);
HttpResponse JsonResponse(int status, const Json& body, unsigned version, bool keepAlive);
// {"error": reason}
HttpResponse ErrorResponse(int status, const std::string& reason, unsigned version, bool keepAlive);

}  // namespace sorvo::tools
