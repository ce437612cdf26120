// What the console's endless HTTP answers (MjpegStream, SoundStream) share: the connection
// taken over from an HttpSession, the response header, one write at a time with the write
// timeout, and the read that notices the client has gone (it sends nothing more).
//
// Threads: the network thread only.
#pragma once

#include <boost/asio/write.hpp>
#include <memory>
#include <string>

#include "tools/record/console/ServiceClient.h"

namespace sorvo::tools {

class HttpStream : public ServiceClient, public std::enable_shared_from_this<HttpStream> {
 public:
  void Close() { Closed(); }

 protected:
  HttpStream(ConsoleService& service, HandedOver connection);
  ~HttpStream() = default;

  // Writes the response header (HTTP `version`, `contentType`), then calls Pump.
  void Begin(unsigned version, const std::string& contentType);
  // Writes `buffers`, which the caller keeps alive until Pump is called again.
  template <typename Buffers>
  void Write(const Buffers& buffers) {
    m_busy = true;
    m_stream.expires_after(m_settings.writeTimeout);
    boost::asio::async_write(m_stream, buffers,
                             [self = shared_from_this()](beast::error_code error, size_t) {
                               self->m_busy = false;
                               if (error)
                                 return self->Closed();
                               self->Pump();
                             });
  }
  // Writes what waits, unless a write is under way (busy) or the stream closed.
  virtual void Pump() = 0;
  bool busy() const { return m_busy; }

 private:
  void WatchForClose();
  void Closed();

  beast::tcp_stream m_stream;
  std::string m_head;
  char m_ignored[512];
  bool m_busy = false;
};

}  // namespace sorvo::tools
