#include "tools/record/tally/TallyOut.h"

#include <pthread.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "tools/record/tally/TslPacket.h"

namespace sorvo::tools {
namespace {

constexpr std::chrono::seconds kRepeat{1};

}  // namespace

std::unique_ptr<TallyOut> TallyOut::Open(const std::vector<std::string>& targets,
                                         std::vector<std::string> names,
                                         std::string* error) {
  std::unique_ptr<TallyOut> out(new TallyOut(std::move(names)));
  for (const std::string& text : targets) {
    TallyTarget target;
    if (!TallyTarget::Parse(text, &target, error))
      return nullptr;
    auto destination = std::make_unique<Destination>();
    destination->tcp = target.tcp;
    boost::system::error_code failed;
    const std::string port = std::to_string(target.address.port);
    if (target.tcp) {
      boost::asio::ip::tcp::resolver resolver(out->m_io);
      const auto found = resolver.resolve(target.address.host, port, failed);
      if (!failed && !found.empty())
        destination->stream = found.begin()->endpoint();
    } else {
      boost::asio::ip::udp::resolver resolver(out->m_io);
      const auto found = resolver.resolve(target.address.host, port, failed);
      if (!failed && !found.empty())
        destination->datagrams = found.begin()->endpoint();
    }
    if (failed) {
      *error = "--tally " + target.Shown() + ": " + failed.message();
      return nullptr;
    }
    out->m_destinations.push_back(std::move(destination));
  }
  boost::system::error_code ignored;
  out->m_udp4.open(boost::asio::ip::udp::v4(), ignored);
  out->m_udp6.open(boost::asio::ip::udp::v6(), ignored);
  out->m_work.emplace(out->m_io.get_executor());
  TallyOut* self = out.get();
  boost::asio::post(self->m_io, [self] {
    for (auto& destination : self->m_destinations)
      if (destination->tcp)
        self->Connect(*destination);
    self->Tick();
  });
  out->m_thread = std::thread([self] {
    pthread_setname_np(pthread_self(), "TallyOut");
    self->m_io.run();
  });
  return out;
}

TallyOut::TallyOut(std::vector<std::string> names) : m_names(std::move(names)) {}

TallyOut::~TallyOut() {
  boost::asio::post(m_io, [this] {
    m_tick.cancel();
    for (auto& destination : m_destinations) {
      if (destination->socket) {
        boost::system::error_code ignored;
        destination->socket->shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
        destination->socket->close(ignored);
      }
    }
  });
  m_work.reset();
  if (m_thread.joinable())
    m_thread.join();
}

void TallyOut::Show(int program, int preview) {
  boost::asio::post(m_io, [this, program, preview] {
    if (program == m_program && preview == m_preview)
      return;
    m_program = program;
    m_preview = preview;
    SendAll();
  });
}

std::vector<std::string> TallyOut::Packets() const {
  std::vector<TslDisplay> displays;
  for (size_t camera = 0; camera < m_names.size(); ++camera) {
    TslDisplay display;
    display.index = static_cast<uint16_t>(camera);
    display.text = m_names[camera];
    const int number = static_cast<int>(camera);
    display.colour = number == m_program   ? TallyColour::kRed
                     : number == m_preview ? TallyColour::kGreen
                                           : TallyColour::kOff;
    displays.push_back(std::move(display));
  }
  std::vector<std::string> packets;
  while (!displays.empty()) {
    size_t used = 0;
    packets.push_back(TslPacket(0, displays, &used));
    if (used == 0)
      break;
    displays.erase(displays.begin(), displays.begin() + static_cast<std::ptrdiff_t>(used));
  }
  return packets;
}

void TallyOut::SendAll() {
  for (auto& destination : m_destinations)
    Send(*destination);
}

void TallyOut::Send(Destination& destination) {
  const std::vector<std::string> packets = Packets();
  if (!destination.tcp) {
    auto& socket = destination.datagrams.address().is_v6() ? m_udp6 : m_udp4;
    for (const std::string& packet : packets) {
      boost::system::error_code ignored;  // a datagram lost is sent again within a second
      socket.send_to(boost::asio::buffer(packet), destination.datagrams, 0, ignored);
    }
    return;
  }
  if (!destination.connected)
    return;  // sent once connected
  if (destination.busy) {
    destination.stale = true;
    return;
  }
  destination.writing.clear();
  for (const std::string& packet : packets)
    destination.writing += TslStreamFrame(packet);
  destination.busy = true;
  destination.stale = false;
  boost::asio::async_write(*destination.socket, boost::asio::buffer(destination.writing),
                           [this, &destination](boost::system::error_code error, size_t) {
                             destination.busy = false;
                             if (error)
                               return Lost(destination);
                             if (destination.stale)
                               Send(destination);
                           });
}

void TallyOut::Connect(Destination& destination) {
  destination.socket = std::make_unique<boost::asio::ip::tcp::socket>(m_io);
  destination.busy = true;
  destination.socket->async_connect(
      destination.stream, [this, &destination](boost::system::error_code error) {
        destination.busy = false;
        if (error)
          return Lost(destination);
        destination.connected = true;
        boost::system::error_code ignored;
        destination.socket->set_option(boost::asio::ip::tcp::no_delay(true), ignored);
        Send(destination);
      });
}

void TallyOut::Lost(Destination& destination) {
  // Tried again at the next tick.
  destination.connected = false;
  boost::system::error_code ignored;
  if (destination.socket)
    destination.socket->close(ignored);
  destination.socket.reset();
}

void TallyOut::Tick() {
  for (auto& destination : m_destinations) {
    if (destination->tcp && !destination->socket)
      Connect(*destination);
    else
      Send(*destination);
  }
  m_tick.expires_after(kRepeat);
  m_tick.async_wait([this](boost::system::error_code error) {
    if (!error)
      Tick();
  });
}

}  // namespace sorvo::tools
