// The console's network side: one thread running Asio, the listening socket, the admission
// of connections, the HTTP sessions, and the service that answers them.
//
// Threads: constructor, Listen, Stop and the destructor on the owner's thread; Post from any
// thread. Everything else runs on the network thread. m_sessions and the acceptor belong to
// the network thread once Listen has started it.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/record/console/ConnectionAdmission.h"
#include "tools/record/console/ConsoleAddress.h"
#include "tools/record/console/ConsoleService.h"
#include "tools/record/console/HttpTypes.h"

namespace sorvo::tools {

class HttpSession;

class ConsoleServer {
 public:
  ConsoleServer(const ConsoleSettings& settings,
                std::array<ThumbnailSlot*, kPictureSlots> slots,
                const std::atomic<SoundMeter*>& meter,
                std::atomic<bool>& soundWanted);
  // Stops first.
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Listens on `address` and starts serving; the model outlives the server. False with
  // `error` when the address cannot be listened on.
  bool Listen(const ConsoleAddress& address,
              const std::string& token,
              ConsoleModel* model,
              std::string* error);
  // The port listened on (the one the system chose for port 0).
  unsigned short port() const { return m_port; }
  // Runs `work` on the network thread, with the service; dropped once stopped or when the
  // server never listened.
  void Post(std::function<void(ConsoleService&)> work);
  // Closes every connection (WebSockets with a closing handshake, given a few seconds) and
  // stops the thread.
  void Stop();

 private:
  void Accept();
  void OnAccept(beast::error_code error, tcp::socket socket);

  const ConsoleSettings& m_settings;
  const std::array<ThumbnailSlot*, kPictureSlots> m_slots;
  const std::atomic<SoundMeter*>& m_meter;
  std::atomic<bool>& m_soundWanted;
  boost::asio::io_context m_io;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
  tcp::acceptor m_acceptor{m_io};
  boost::asio::steady_timer m_retry{m_io};
  ConnectionAdmission m_admission{m_settings};
  std::unique_ptr<ConsoleService> m_service;
  std::vector<std::weak_ptr<HttpSession>> m_sessions;
  unsigned short m_port = 0;
  std::atomic<bool> m_running{false};
  std::future<void> m_finished;
  std::thread m_thread;
};

}  // namespace sorvo::tools
