// What makes a source a network stream, and how libavformat is told to open one: as live
// input (nothing buffered beyond what it needs, small probing), over TCP for RTSP, and with
// timeouts in each protocol's own terms. A network stream is never a file: it is read as
// it comes and never played again from its start. A listener (UDP, or a URL that says
// listen) waits for its sender as long as it takes: no timeout ends its reads.
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
// udp:// and rtp://, which take whatever comes to their port, and a URL whose options say
// listen (tcp://...?listen=1, srt://...?mode=listener).
bool IsListenerUrl(const std::string& url);

// The options for avformat_open_input; the caller frees them. `knownFormat`: an earlier
// connection found the stream's format, so the stream is looked at only as long as it
// takes to find its streams and decoders.
AVDictionary* NetworkInputOptions(const std::string& url, bool knownFormat);

}  // namespace sorvo::tools
