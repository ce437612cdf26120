// A WebSocket client of /api/events: gets every event in order, the newest status, and,
// when it asked for them, the newest thumbnail of each tile as binary messages (one byte
// naming the tile, 0 to 15 a camera and 16 the program, then the JPEG). A status or a
// thumbnail not yet sent when a newer one comes is replaced, so a slow client loses
// pictures, never falls behind; a client that falls more than the backlog behind on events
// is closed. The client may say {"programLive": true} while it shows the program's tile,
// which then comes at the program's full rate; anything else it sends is dropped.
//
// Threads: the network thread only.
#pragma once

#include <array>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <memory>
#include <string>

#include "tools/record/console/ApiRoute.h"
#include "tools/record/console/ServiceClient.h"

namespace sorvo::tools {

class EventSocket : public ServiceClient, public std::enable_shared_from_this<EventSocket> {
 public:
  using Message = std::shared_ptr<const std::string>;

  EventSocket(ConsoleService& service, HandedOver connection, bool thumbnails);

  // Completes the opening handshake that `request` began.
  void Accept(HttpRequest request);
  void SendEvent(Message text);
  void SendStatus(Message text);
  void SendPicture(int slot, Message jpeg);
  // Sends what is queued, then closes.
  void Finish();

  bool thumbnails() const { return m_thumbnails; }
  bool programLive() const { return m_programLive; }

 private:
  void Pump();
  void Write(bool binary, Message payload);
  void OnWritten(beast::error_code error);
  void ReadNext();
  void OnMessage(const std::string& text);
  void Closed();

  boost::beast::websocket::stream<beast::tcp_stream> m_socket;
  const bool m_thumbnails;
  boost::asio::steady_timer m_writeTimer;
  beast::flat_buffer m_incoming;
  std::deque<Message> m_events;
  Message m_status;
  std::array<Message, kPictureSlots> m_pictures;
  int m_nextPicture = 0;  // where the round of tiles goes on
  Message m_writing;      // kept while it is written
  unsigned char m_slotByte = 0;
  bool m_busy = false;  // a write or the closing handshake is under way
  bool m_finishing = false;
  bool m_programLive = false;
};

}  // namespace sorvo::tools
