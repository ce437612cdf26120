#include "tools/record/console/MjpegStream.h"

#include <array>

namespace sorvo::tools {

MjpegStream::MjpegStream(ConsoleService& service, HandedOver connection, int slot)
    : HttpStream(service, std::move(connection)), m_slot(slot) {}

void MjpegStream::Start(unsigned version) {
  Begin(version, std::string("multipart/x-mixed-replace; boundary=") + kBoundary);
}

void MjpegStream::SendPicture(Message jpeg) {
  if (!m_open)
    return;
  m_next = std::move(jpeg);
  Pump();
}

void MjpegStream::Pump() {
  if (!m_open || busy() || !m_next)
    return;
  m_writing = std::move(m_next);
  m_head = std::string("--") + kBoundary +
           "\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(m_writing->size()) +
           "\r\n\r\n";
  static const char kEnd[] = "\r\n";
  const std::array<boost::asio::const_buffer, 3> part{
      boost::asio::buffer(m_head), boost::asio::buffer(*m_writing), boost::asio::buffer(kEnd, 2)};
  Write(part);
}

}  // namespace sorvo::tools
