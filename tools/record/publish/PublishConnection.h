// One connection to a destination: a libavformat muxer carrying the program's streams
// there (FLV over RTMP, MPEG-TS over SRT or UDP, HLS segments and playlist on disk).
//
// Every call that may block is bounded: it fails once the settings' ioTimeout passes
// without it returning, or as soon as `abort` is set (FFmpeg's interrupt callback, polled
// by its network and file code).
//
// The HLS muxer writes its segments and playlist through files of its own and does not pass
// their write errors back (a full disk leaves empty playlists and cut segments behind calls
// that all succeed): those files are opened and closed through this connection, which
// checks each for a failed write or close and fails the next call with it. Its playlist is
// its own; players read the public one (HlsPlaylist.h).
//
// One thread: the destination's.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "codec/FFDeleters.h"
#include "tools/record/publish/EncodedPacket.h"
#include "tools/record/publish/HlsPlaylist.h"
#include "tools/record/publish/PublishSettings.h"
#include "tools/record/publish/PublishTarget.h"

struct AVDictionary;
struct AVIOContext;

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
  // Whether the destination has taken the program: connected, or for HLS a first segment
  // whole on the disk.
  bool Delivered() const { return m_headerWritten && (!m_bFiles || m_nSegments > 0); }

 private:
  static int Interrupted(void* self);
  static int OpenFile(AVFormatContext* context,
                      AVIOContext** pb,
                      const char* url,
                      int flags,
                      AVDictionary** options);
  static int CloseFile(AVFormatContext* context, AVIOContext* pb);
  // A failure of the muxer's own files since the last call, as `error`; false then.
  bool FilesWritten(std::string* error);
  // The HLS writer's playlist, when it changed, copied to the public one; false with `error`
  // when it cannot be.
  bool PlaylistPublished(std::string* error);
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
  // The muxer's own files (HLS): the default ways to open and close them, the first one
  // that failed, and the segments written whole.
  bool m_bFiles = false;
  int (*m_openFile)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
  int (*m_closeFile)(AVFormatContext*, AVIOContext*) = nullptr;
  std::map<const AVIOContext*, std::string> m_files;  // open, by where they go
  std::string m_fileError;
  long long m_nSegments = 0;
  bool m_bPlaylistWritten = false;  // since the last look
  std::unique_ptr<HlsPlaylist> m_playlist;
  bool m_bAbandoned = false;  // given up: its files are opened no more
};

}  // namespace sorvo::tools
