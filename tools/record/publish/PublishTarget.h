// One --publish destination as the user typed it: what kind it is, which muxer carries the
// program there, and how it is shown in messages with its secrets masked.
#pragma once

#include <string>

namespace sorvo::tools {

struct PublishTarget {
  enum class Kind { kRtmp, kSrt, kUdp, kHls };

  Kind kind = Kind::kRtmp;
  std::string url;     // as typed: a URL, or for HLS the playlist's path
  std::string shown;   // for messages and the summary: stream key, passwords masked
  std::string scheme;  // "rtmp", "rtmps", "srt", "udp" or "hls"

  // The libavformat muxer: "flv", "mpegts" or "hls".
  const char* Muxer() const;
};

// Reads `text`; false with `why` (what is accepted) when it is no destination the publisher
// can reach: rtmp://HOST[:PORT]/APP/KEY, rtmps://..., srt://HOST:PORT[?OPTIONS],
// udp://HOST:PORT[?OPTIONS] or a path ending in .m3u8.
bool ParsePublishTarget(const std::string& text, PublishTarget* target, std::string* why);

}  // namespace sorvo::tools
