// A client of /api/sound.mp3: the program's sound as the audio sink encodes it, one MP3
// frame after another in a body without end, which a browser's <audio> element plays as it
// comes. A listener that falls more than a few seconds behind loses the oldest frames (a
// gap it hears once, rather than a delay that grows); one that takes nothing for the write
// timeout is closed.
//
// Threads: the network thread only.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "tools/record/console/HttpStream.h"

namespace sorvo::tools {

class SoundStream final : public HttpStream {
 public:
  using Message = std::shared_ptr<const std::string>;

  SoundStream(ConsoleService& service, HandedOver connection)
      : HttpStream(service, std::move(connection)) {}

  // Writes the response header (HTTP `version`), then the frames as they come.
  void Start(unsigned version) { Begin(version, "audio/mpeg"); }
  void SendFrame(Message frame);

 private:
  void Pump() override;

  std::deque<Message> m_frames;  // not yet written
  std::string m_writing;         // the frames being written, joined
};

}  // namespace sorvo::tools
