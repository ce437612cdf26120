#include "TslReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace sorvo::test {
namespace {

int Le16(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

}  // namespace

TslReceiver::TslReceiver(bool tcp) : m_tcp(tcp) {
  m_socket = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  if (tcp)
    listen(m_socket, 4);
  m_thread = std::thread([this] { Run(); });
}

TslReceiver::~TslReceiver() {
  m_stop = true;
  m_thread.join();
  close(m_socket);
}

void TslReceiver::Run() {
  int peer = -1;
  std::string packet;  // on TCP, the packet being read
  bool inPacket = false;
  bool dle = false;
  char buffer[4096];
  while (!m_stop) {
    pollfd fd{peer >= 0 ? peer : m_socket, POLLIN, 0};
    if (poll(&fd, 1, 50) <= 0)
      continue;
    if (m_tcp && peer < 0) {
      peer = accept(m_socket, nullptr, nullptr);
      continue;
    }
    const ssize_t got = recv(fd.fd, buffer, sizeof(buffer), 0);
    if (got <= 0) {
      if (peer >= 0)
        close(peer);
      peer = -1;  // the sender connects again
      inPacket = false;
      continue;
    }
    if (!m_tcp) {
      Take(std::string(buffer, static_cast<size_t>(got)));
      continue;
    }
    // DLE STX starts a packet, DLE DLE is one DLE of it; a packet is whole when it holds
    // as many bytes as its PBC says.
    for (ssize_t i = 0; i < got; ++i) {
      const char byte = buffer[i];
      if (dle) {
        dle = false;
        if (byte == '\x02') {
          packet.clear();
          inPacket = true;
          continue;
        }
      } else if (byte == '\xFE') {
        dle = true;
        continue;
      }
      if (!inPacket)
        continue;
      packet.push_back(byte);
      if (packet.size() >= 2 && static_cast<size_t>(Le16(packet, 0)) + 2 == packet.size()) {
        Take(packet);
        inPacket = false;
      }
    }
  }
  if (peer >= 0)
    close(peer);
}

void TslReceiver::Take(const std::string& bytes) {
  Packet packet;
  packet.at = Clock::now();
  if (bytes.size() < 6 || static_cast<size_t>(Le16(bytes, 0)) + 2 != bytes.size())
    packet.error = "PBC is not the count of the bytes that follow it";
  else if (bytes[2] != 0 || bytes[3] != 0)
    packet.error = "VER or FLAGS is not 0 (version 5.0, ASCII display messages)";
  for (size_t at = 6; packet.error.empty() && at < bytes.size();) {
    if (at + 6 > bytes.size()) {
      packet.error = "a display message is cut short";
      break;
    }
    const int index = Le16(bytes, at);
    const int control = Le16(bytes, at + 2);
    const size_t length = static_cast<size_t>(Le16(bytes, at + 4));
    if ((control & 0x8000) != 0 || at + 6 + length > bytes.size()) {
      packet.error = "a display message is not display data, or its text is cut short";
      break;
    }
    Display& display = packet.displays[index];
    display.rightLamp = control & 3;
    display.textTally = (control >> 2) & 3;
    display.leftLamp = (control >> 4) & 3;
    display.brightness = (control >> 6) & 3;
    display.text = bytes.substr(at + 6, length);
    at += 6 + length;
  }
  std::lock_guard<std::mutex> hold(m_lock);
  m_packets.push_back(std::move(packet));
}

std::vector<TslReceiver::Packet> TslReceiver::packets() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_packets;
}

bool TslReceiver::FirstShowing(int program,
                               int preview,
                               Clock::time_point from,
                               Packet* found) const {
  std::lock_guard<std::mutex> hold(m_lock);
  for (const Packet& packet : m_packets) {
    if (packet.at < from)
      continue;
    const auto red = packet.displays.find(program);
    const auto green = packet.displays.find(preview);
    if (red != packet.displays.end() && red->second.rightLamp == 1 &&
        green != packet.displays.end() && green->second.rightLamp == 2) {
      *found = packet;
      return true;
    }
  }
  return false;
}

}  // namespace sorvo::test
