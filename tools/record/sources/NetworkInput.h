// What makes a source a network stream, and how libavformat is told to open one: as live
// input (nothing buffered beyond what it needs, small probing), over TCP for RTSP, and with
// timeouts in each protocol's own terms. A network stream is never a file: it is read as
// it comes and never played again from its start.
#pragma once

#include <string>

extern "C" {
#include <libavutil/dict.h>
}

namespace sorvo::tools {

// A source that sends nothing for this long is taken as lost.
constexpr double kSilentSourceSeconds = 2.0;
// The longest a connection and the first look at the stream may take.
constexpr double kConnectSeconds = 5.0;

// rtsp://, rtsps://, rtmp[s|t]://, srt://, udp://, rtp://, tcp://, http:// and https://.
bool IsNetworkUrl(const std::string& name);

// The options for avformat_open_input; the caller frees them.
AVDictionary* NetworkInputOptions(const std::string& url);

}  // namespace sorvo::tools
