// One connection to a destination: a libavformat muxer carrying the program's streams
// there (FLV over RTMP, MPEG-TS over SRT or UDP, HLS segments and playlist on disk).
//
// Every call that may block is bounded: it fails once the settings' ioTimeout passes
// without it returning, or as soon as `abort` is set (FFmpeg's interrupt callback, polled
// by its network and file code).
//
// One thread: the destination's.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "codec/FFDeleters.h"
#include "tools/record/publish/EncodedPacket.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishTarget.h"

namespace sorvo::tools {

class PublishConnection {
 public:
  PublishConnection(const PublishTarget& target,
                    std::shared_ptr<const ProgramStreams> streams,
                    const PublishSettings& settings,
                    const std::atomic<bool>& abort);
  // A connection still open is closed without its end (it failed, or time ran out).
  ~PublishConnection();
  PublishConnection(const PublishConnection&) = delete;
  PublishConnection& operator=(const PublishConnection&) = delete;

  // Connects and writes the streams' header; false with `error`. `again`: an earlier
  // connection of this destination carried the program (an HLS playlist is continued).
  bool Open(bool again, std::string* error);
  bool Write(const EncodedPacket& packet, std::string* error);
  // Writes the end (the trailer: HLS's last segment and end of list) and closes.
  bool Finish(std::string* error);

 private:
  static int Interrupted(void* self);
  // The next blocking call must return within the timeout.
  void Arm();
  // `what` failed with `code`: the error text, with FFmpeg's own last line when it says more.
  std::string Failure(const char* what, int code) const;
  void Close();

  const PublishTarget m_target;
  const std::shared_ptr<const ProgramStreams> m_streams;
  const PublishSettings m_settings;
  const std::atomic<bool>& m_abort;
  OutputContextPtr m_context;
  PacketPtr m_scratch;
  int m_videoIndex = -1;
  int m_audioIndex = -1;
  bool m_headerWritten = false;
  std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace sorvo::tools
