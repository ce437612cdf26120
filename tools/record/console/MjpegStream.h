// A client of /api/cameras/N/live.mjpeg: a multipart MJPEG stream (one JPEG per part), as
// ffplay and browsers show it. A thumbnail that comes while the previous one is still being
// written waits in place of any older one: the newest wins, nothing queues. A client that
// takes a part for longer than the write timeout is closed.
//
// Threads: the network thread only.
#pragma once

#include <memory>
#include <string>

#include "tools/record/console/HttpStream.h"

namespace sorvo::tools {

class MjpegStream final : public HttpStream {
 public:
  using Message = std::shared_ptr<const std::string>;
  static constexpr const char* kBoundary = "sorvo-picture";

  MjpegStream(ConsoleService& service, HandedOver connection, int slot);

  // Writes the response header (HTTP `version`), then the pictures as they come.
  void Start(unsigned version);
  void SendPicture(Message jpeg);

  int slot() const { return m_slot; }

 private:
  void Pump() override;

  const int m_slot;
  std::string m_head;  // the part's header
  Message m_next;      // the newest picture not yet written
  Message m_writing;   // kept while it is written
};

}  // namespace sorvo::tools
