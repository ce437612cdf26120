#include "ConsoleClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http.hpp>
#include <cctype>

namespace sorvo::test {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

tcp::endpoint Loopback(unsigned short port) {
  return {asio::ip::make_address("127.0.0.1"), port};
}

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Runs what was started on `io` until `done` or the timeout; on a timeout, closes `socket`
// so that the operations end, and says so.
template <typename Socket>
bool RunUntil(asio::io_context& io,
              Socket& socket,
              const bool& done,
              std::chrono::milliseconds timeout) {
  io.restart();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done && std::chrono::steady_clock::now() < deadline)
    if (io.run_one_until(deadline) == 0)
      break;
  if (done)
    return true;
  boost::system::error_code ignored;
  socket.close(ignored);
  io.restart();
  io.run();
  return false;
}

}  // namespace

HttpAnswer Exchange(unsigned short port, const std::string& raw) {
  HttpAnswer answer;
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect(Loopback(port), error);
  if (error)
    return answer;
  beast::flat_buffer buffer;
  http::response_parser<http::string_body> parser;
  parser.body_limit(64 << 20);
  bool done = false;
  // Written and read at once: the console may answer (and close) before it has read all.
  if (!raw.empty())
    asio::async_write(socket, asio::buffer(raw), [](boost::system::error_code, size_t) {});
  http::async_read(socket, buffer, parser, [&](boost::system::error_code failed, size_t) {
    error = failed;
    done = true;
  });
  if (!RunUntil(io, socket, done, kClientTimeout) || error)
    return answer;
  const auto& response = parser.get();
  answer.received = true;
  answer.status = response.result_int();
  for (const auto& field : response)
    answer.headers[Lower(std::string(field.name_string()))] = std::string(field.value());
  answer.body = response.body();
  return answer;
}

std::string Request(unsigned short port,
                    const std::string& method,
                    const std::string& target,
                    const std::vector<std::string>& headers,
                    const std::string& body) {
  std::string raw =
      method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const std::string& header : headers)
    raw += header + "\r\n";
  if (!body.empty() || method == "POST")
    raw += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return raw + "\r\n" + body;
}

HttpAnswer Get(unsigned short port,
               const std::string& target,
               const std::vector<std::string>& headers) {
  return Exchange(port, Request(port, "GET", target, headers));
}

HttpAnswer Post(unsigned short port,
                const std::string& target,
                const std::string& body,
                const std::string& token,
                const std::vector<std::string>& headers) {
  std::vector<std::string> all = headers;
  if (!token.empty())
    all.push_back("Authorization: Bearer " + token);
  all.push_back("Content-Type: application/json");
  return Exchange(port, Request(port, "POST", target, all, body));
}

EventClient::EventClient(unsigned short port,
                         const std::string& target,
                         const std::string& origin) {
  boost::system::error_code error;
  m_socket.next_layer().connect(Loopback(port), error);
  if (error)
    return;
  m_socket.set_option(
      beast::websocket::stream_base::decorator([origin](beast::websocket::request_type& request) {
        if (!origin.empty())
          request.set(http::field::origin, origin);
      }));
  beast::websocket::response_type response;
  bool done = false;
  m_socket.async_handshake(response, "127.0.0.1:" + std::to_string(port), target,
                           [&](boost::system::error_code failed) {
                             error = failed;
                             done = true;
                           });
  if (!RunUntil(m_io, m_socket.next_layer(), done, kClientTimeout))
    return;
  m_handshakeStatus = response.result_int();
  m_open = !error;
}

EventClient::~EventClient() {
  Close();
}

void EventClient::Close() {
  if (!m_open)
    return;
  m_open = false;
  bool done = false;
  m_socket.async_close(beast::websocket::close_code::normal,
                       [&](boost::system::error_code) { done = true; });
  RunUntil(m_io, m_socket.next_layer(), done, std::chrono::milliseconds(5000));
  boost::system::error_code ignored;
  m_socket.next_layer().close(ignored);
}

bool EventClient::Read(std::string* message, bool* binary, std::chrono::milliseconds timeout) {
  if (!m_open)
    return false;
  bool done = false;
  boost::system::error_code error;
  m_socket.async_read(m_buffer, [&](boost::system::error_code failed, size_t) {
    error = failed;
    done = true;
  });
  if (!RunUntil(m_io, m_socket.next_layer(), done, timeout) || error) {
    m_open = false;
    return false;
  }
  *message = beast::buffers_to_string(m_buffer.data());
  m_buffer.consume(m_buffer.size());
  *binary = m_socket.got_binary();
  return true;
}

bool EventClient::ReadUntil(const std::function<bool(const std::string&, bool)>& done,
                            std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string message;
  bool binary = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Read(&message, &binary, left))
      return false;
    if (done(message, binary))
      return true;
  }
}

nlohmann::json EventClient::WaitForEvent(const std::string& event,
                                         const std::function<bool(const nlohmann::json&)>& accept,
                                         std::chrono::milliseconds timeout) {
  nlohmann::json found;
  ReadUntil(
      [&](const std::string& message, bool binary) {
        if (binary) {
          if (!message.empty())
            m_pictures.emplace_back(static_cast<unsigned char>(message[0]), message.substr(1));
          return false;
        }
        nlohmann::json json = nlohmann::json::parse(message, nullptr, false);
        if (!json.is_object() || json.value("event", "") != event || (accept && !accept(json)))
          return false;
        found = std::move(json);
        return true;
      },
      timeout);
  return found;
}

std::string EventClient::WaitForPicture(int slot, std::chrono::milliseconds timeout) {
  std::string picture;
  ReadUntil(
      [&](const std::string& message, bool binary) {
        if (!binary || message.empty() || static_cast<unsigned char>(message[0]) != slot)
          return false;
        picture = message.substr(1);
        return true;
      },
      timeout);
  return picture;
}

bool EventClient::WaitForClose(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ReadUntil([](const std::string&, bool) { return false; }, timeout);
  // Reading ended: by the server's close if that came before the deadline.
  return std::chrono::steady_clock::now() < deadline;
}

StreamClient::StreamClient(unsigned short port, const std::string& target) {
  boost::system::error_code error;
  m_socket.connect(Loopback(port), error);
  if (error)
    return;
  asio::write(m_socket, asio::buffer(Request(port, "GET", target)), error);
  if (error)
    return;
  size_t end = std::string::npos;
  while ((end = m_data.find("\r\n\r\n")) == std::string::npos)
    if (!Fill(kClientTimeout))
      return;
  const std::string head = m_data.substr(0, end);
  m_data.erase(0, end + 4);
  if (head.size() > 12)
    m_status = std::atoi(head.c_str() + 9);
  const std::string lower = Lower(head);
  const size_t type = lower.find("\r\ncontent-type: ");
  if (type != std::string::npos)
    m_contentType = head.substr(type + 16, head.find("\r\n", type + 2) - type - 16);
  const size_t boundary = m_contentType.find("boundary=");
  if (boundary != std::string::npos)
    m_boundary = m_contentType.substr(boundary + 9);
}

bool StreamClient::Fill(std::chrono::milliseconds timeout) {
  char chunk[65536];
  bool done = false;
  size_t got = 0;
  boost::system::error_code error;
  m_socket.async_read_some(asio::buffer(chunk), [&](boost::system::error_code failed, size_t n) {
    error = failed;
    got = n;
    done = true;
  });
  if (!RunUntil(m_io, m_socket, done, timeout) || (error && got == 0))
    return false;
  m_data.append(chunk, got);
  return true;
}

std::string StreamClient::NextPart(std::chrono::milliseconds timeout) {
  if (m_boundary.empty())
    return "";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  const std::string start = "--" + m_boundary + "\r\n";
  size_t headEnd = std::string::npos;
  while (m_data.compare(0, start.size(), start) != 0 ||
         (headEnd = m_data.find("\r\n\r\n")) == std::string::npos)
    if (m_data.size() > start.size() && m_data.compare(0, start.size(), start) != 0)
      return "";  // not a part where one must begin
    else if (!Fill(left()))
      return "";
  const std::string head = Lower(m_data.substr(0, headEnd));
  const size_t length = head.find("content-length: ");
  if (length == std::string::npos)
    return "";
  const size_t size = std::stoul(head.substr(length + 16));
  while (m_data.size() < headEnd + 4 + size + 2)
    if (!Fill(left()))
      return "";
  std::string body = m_data.substr(headEnd + 4, size);
  if (m_data.compare(headEnd + 4 + size, 2, "\r\n") != 0)
    return "";
  m_data.erase(0, headEnd + 4 + size + 2);
  return body;
}

}  // namespace sorvo::test
