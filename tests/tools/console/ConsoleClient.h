// Clients of the console for its tests: raw HTTP requests (so that a test can send what no
// well-behaved client would), a WebSocket reader of /api/events and a reader of the
// multipart picture stream. Each owns its own Asio context and never waits longer than its
// timeout, so that a fault in the console fails the test instead of hanging it.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace sorvo::test {

using namespace std::chrono_literals;
constexpr std::chrono::milliseconds kClientTimeout{20000};

struct HttpAnswer {
  bool received = false;  // a whole response came
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
  std::string Header(const std::string& name) const {
    auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
  }
};

// Sends `raw` as it stands and reads one response.
HttpAnswer Exchange(unsigned short port, const std::string& raw);

// A well-formed request with Host 127.0.0.1:port; `headers` are added as they stand
// ("Origin: http://evil.example"), and Content-Length when there is a body.
std::string Request(unsigned short port,
                    const std::string& method,
                    const std::string& target,
                    const std::vector<std::string>& headers = {},
                    const std::string& body = "");
HttpAnswer Get(unsigned short port,
               const std::string& target,
               const std::vector<std::string>& headers = {});
// A POST with "Authorization: Bearer token" (none when `token` is empty).
HttpAnswer Post(unsigned short port,
                const std::string& target,
                const std::string& body,
                const std::string& token,
                const std::vector<std::string>& headers = {});

class EventClient {
 public:
  // Connects to `target` (e.g. "/api/events?thumbnails=1"); `origin` is sent when given.
  EventClient(unsigned short port, const std::string& target, const std::string& origin = "");
  ~EventClient();

  // The HTTP status of the opening handshake: 101 when it was accepted.
  int handshakeStatus() const { return m_handshakeStatus; }
  bool open() const { return m_open; }

  // The next message; false when none came within the timeout or the socket closed.
  bool Read(std::string* message, bool* binary, std::chrono::milliseconds timeout = kClientTimeout);
  // Reads until a text message with "event": `event` for which `accept` holds; the
  // binary messages met on the way are kept in pictures(). Null when none came.
  nlohmann::json WaitForEvent(const std::string& event,
                              const std::function<bool(const nlohmann::json&)>& accept = {},
                              std::chrono::milliseconds timeout = kClientTimeout);
  // Reads until a binary message of `slot` comes; empty when none came.
  std::string WaitForPicture(int slot, std::chrono::milliseconds timeout = kClientTimeout);
  // Whether the server closed the socket within the timeout (messages before that are read
  // and dropped).
  bool WaitForClose(std::chrono::milliseconds timeout = kClientTimeout);
  const std::vector<std::pair<int, std::string>>& pictures() const { return m_pictures; }
  void Close();

 private:
  // Reads messages until `done` says so (true) or the timeout strikes or the socket closes
  // (false).
  bool ReadUntil(const std::function<bool(const std::string& message, bool binary)>& done,
                 std::chrono::milliseconds timeout);

  boost::asio::io_context m_io;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> m_socket{m_io};
  boost::beast::flat_buffer m_buffer;
  int m_handshakeStatus = 0;
  bool m_open = false;
  std::vector<std::pair<int, std::string>> m_pictures;
};

// Reads a multipart picture stream: the parts' bodies, as they come.
class StreamClient {
 public:
  StreamClient(unsigned short port, const std::string& target);
  // The status line's code and the Content-Type, once the header came.
  int status() const { return m_status; }
  const std::string& contentType() const { return m_contentType; }
  // The next part's body; empty when none came in time.
  std::string NextPart(std::chrono::milliseconds timeout = kClientTimeout);

 private:
  bool Fill(std::chrono::milliseconds timeout);

  boost::asio::io_context m_io;
  boost::asio::ip::tcp::socket m_socket{m_io};
  std::string m_data;  // received, not yet taken
  std::string m_boundary;
  int m_status = 0;
  std::string m_contentType;
};

}  // namespace sorvo::test
