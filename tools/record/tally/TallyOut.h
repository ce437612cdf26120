// Sends the program and preview state to every tally destination as TSL UMD 5.0: camera N
// is display N, its name the display text, red on program, green on preview, off
// otherwise. Sent at once when the state changes and every second besides; a TCP
// destination is connected again a second after it was lost, and gets the state as soon
// as it is.
//
// Threads: Open, Show and the destructor on the main thread; everything else on the
// sender's own thread, to which Show posts the state: the main loop never waits for the
// network.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/record/tally/TallyTarget.h"

namespace sorvo::tools {

class TallyOut {
 public:
  // Resolves every destination (as --tally gives them, TallyTarget); null with `error` when
  // one cannot be. `names` are the cameras' display texts, by number.
  static std::unique_ptr<TallyOut> Open(const std::vector<std::string>& targets,
                                        std::vector<std::string> names,
                                        std::string* error);
  ~TallyOut();
  TallyOut(const TallyOut&) = delete;
  TallyOut& operator=(const TallyOut&) = delete;

  // `program` and `preview` are camera numbers, -1 for none.
  void Show(int program, int preview);

 private:
  struct Destination {
    bool tcp = false;
    boost::asio::ip::udp::endpoint datagrams;
    boost::asio::ip::tcp::endpoint stream;
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    bool connected = false;
    bool busy = false;   // connecting, or writing
    bool stale = false;  // the state changed while it was busy
    std::string writing;
  };

  explicit TallyOut(std::vector<std::string> names);
  // The whole state as packets, one per kTslMaxPacket.
  std::vector<std::string> Packets() const;
  void SendAll();
  void Send(Destination& destination);
  void Connect(Destination& destination);
  void Lost(Destination& destination);
  void Tick();

  const std::vector<std::string> m_names;
  boost::asio::io_context m_io;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> m_work;
  boost::asio::ip::udp::socket m_udp4{m_io};
  boost::asio::ip::udp::socket m_udp6{m_io};
  boost::asio::steady_timer m_tick{m_io};
  // The sender thread's own from here on.
  std::vector<std::unique_ptr<Destination>> m_destinations;
  int m_program = -1;
  int m_preview = -1;
  std::thread m_thread;
};

}  // namespace sorvo::tools
