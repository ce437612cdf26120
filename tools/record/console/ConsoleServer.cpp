#include "tools/record/console/ConsoleServer.h"

#include <pthread.h>

#include <algorithm>
#include <boost/asio/post.hpp>

#include "tools/record/console/HttpSession.h"

namespace sorvo::tools {
namespace {

// How long Stop lets the clients' closing handshakes take.
constexpr std::chrono::seconds kStopGrace{3};

}  // namespace

ConsoleServer::ConsoleServer(const ConsoleSettings& settings,
                             std::array<ThumbnailSlot*, kPictureSlots> slots,
                             const std::atomic<SoundMeter*>& meter,
                             std::atomic<bool>& soundWanted)
    : m_settings(settings), m_slots(slots), m_meter(meter), m_soundWanted(soundWanted) {}

ConsoleServer::~ConsoleServer() {
  Stop();
}

bool ConsoleServer::Listen(const ConsoleAddress& address,
                           const std::string& token,
                           ConsoleModel* model,
                           std::string* error) {
  beast::error_code failed;
  const tcp::endpoint endpoint(address.address, address.port);
  m_acceptor.open(endpoint.protocol(), failed);
  if (!failed)
    m_acceptor.set_option(tcp::acceptor::reuse_address(true), failed);
  if (!failed)
    m_acceptor.bind(endpoint, failed);
  if (!failed)
    m_acceptor.listen(boost::asio::socket_base::max_listen_connections, failed);
  if (failed) {
    *error = "cannot listen on " + address.HostText() + ": " + failed.message();
    beast::error_code ignored;
    m_acceptor.close(ignored);
    return false;
  }
  m_port = m_acceptor.local_endpoint().port();
  ConsoleAddress bound = address;
  bound.port = m_port;
  m_service = std::make_unique<ConsoleService>(m_io, m_settings, *model, RequestGuard(bound, token),
                                               m_slots, m_meter, m_soundWanted, m_admission);
  m_work.emplace(m_io.get_executor());
  boost::asio::post(m_io, [this] {
    m_service->Start();
    Accept();
  });
  std::promise<void> finished;
  m_finished = finished.get_future();
  m_running.store(true);
  m_thread = std::thread([this, finished = std::move(finished)]() mutable {
    pthread_setname_np(pthread_self(), "ConsoleNet");
    m_io.run();
    finished.set_value();
  });
  return true;
}

void ConsoleServer::Post(std::function<void(ConsoleService&)> work) {
  if (!m_running.load())
    return;
  boost::asio::post(m_io, [this, work = std::move(work)] {
    if (m_service)
      work(*m_service);
  });
}

void ConsoleServer::Accept() {
  m_acceptor.async_accept(
      [this](beast::error_code error, tcp::socket socket) { OnAccept(error, std::move(socket)); });
}

void ConsoleServer::OnAccept(beast::error_code error, tcp::socket socket) {
  if (error == boost::asio::error::operation_aborted || !m_acceptor.is_open())
    return;
  if (error) {
    // Out of descriptors, say: try again shortly rather than spin.
    m_retry.expires_after(std::chrono::milliseconds(100));
    m_retry.async_wait([this](beast::error_code cancelled) {
      if (!cancelled)
        Accept();
    });
    return;
  }
  m_sessions.erase(std::remove_if(m_sessions.begin(), m_sessions.end(),
                                  [](const std::weak_ptr<HttpSession>& s) { return s.expired(); }),
                   m_sessions.end());
  if (m_settings.sendBufferBytes > 0) {
    beast::error_code ignored;
    socket.set_option(boost::asio::socket_base::send_buffer_size(m_settings.sendBufferBytes),
                      ignored);
  }
  auto session =
      std::make_shared<HttpSession>(std::move(socket), *m_service, m_settings, m_admission);
  m_sessions.push_back(session);
  session->Start();
  Accept();
}

void ConsoleServer::Stop() {
  if (!m_thread.joinable())
    return;
  m_running.store(false);
  boost::asio::post(m_io, [this] {
    beast::error_code ignored;
    m_acceptor.close(ignored);
    m_retry.cancel();
    for (const auto& weak : m_sessions)
      if (auto session = weak.lock())
        session->Close();
    m_service->Shutdown();
  });
  m_work.reset();
  if (m_finished.wait_for(kStopGrace) != std::future_status::ready)
    m_io.stop();
  m_thread.join();
}

}  // namespace sorvo::tools
