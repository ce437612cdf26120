#include "tools/record/sources/NetworkInput.h"

#include <cctype>
#include <string>

namespace sorvo::tools {
namespace {

std::string Scheme(const std::string& name) {
  const size_t end = name.find("://");
  if (end == std::string::npos || end == 0)
    return "";
  std::string scheme = name.substr(0, end);
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return scheme;
}

std::string Microseconds(double seconds) {
  return std::to_string(static_cast<long long>(seconds * 1e6));
}

}  // namespace

bool IsNetworkUrl(const std::string& name) {
  static const char* const kSchemes[] = {"rtsp", "rtsps", "rtmp", "rtmps", "rtmpt", "srt",
                                         "udp",  "rtp",   "tcp",  "http",  "https"};
  const std::string scheme = Scheme(name);
  for (const char* known : kSchemes)
    if (scheme == known)
      return true;
  return false;
}

bool IsListenerUrl(const std::string& url) {
  const std::string scheme = Scheme(url);
  const size_t query = url.find('?');
  auto says = [&](const char* option) {
    return query != std::string::npos && url.find(option, query) != std::string::npos;
  };
  return scheme == "udp" || scheme == "rtp" || says("listen=1") || says("mode=listener");
}

AVDictionary* NetworkInputOptions(const std::string& url, bool knownFormat) {
  AVDictionary* options = nullptr;
  // Live input: packets read while probing are not kept back to be handed out later in a
  // burst, and the probing itself stays short; shorter still once the format is known,
  // when no frame rate is measured either.
  av_dict_set(&options, "fflags", "nobuffer", 0);
  av_dict_set(&options, "probesize", knownFormat ? "65536" : "1000000", 0);
  av_dict_set(&options, "analyzeduration", knownFormat ? "200000" : "1000000", 0);
  if (knownFormat)
    av_dict_set(&options, "fpsprobesize", "0", 0);
  const std::string scheme = Scheme(url);
  if (scheme == "udp" || scheme == "rtp")
    av_dict_set(&options, "overrun_nonfatal", "1", 0);
  if (IsListenerUrl(url))
    return options;
  // Every protocol's reads and writes give up after this; "timeout" means other things to
  // some protocols (seconds to wait for a caller, for RTMP), so it is set only where it
  // is the socket's timeout in microseconds.
  const std::string silent = Microseconds(kSilentSourceSeconds);
  av_dict_set(&options, "rw_timeout", silent.c_str(), 0);
  if (scheme == "rtsp" || scheme == "rtsps") {
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    av_dict_set(&options, "timeout", silent.c_str(), 0);
  } else if (scheme == "tcp" || scheme == "http" || scheme == "https") {
    av_dict_set(&options, "timeout", silent.c_str(), 0);
  } else if (scheme == "srt") {
    av_dict_set(&options, "timeout", silent.c_str(), 0);
    av_dict_set(&options, "connect_timeout",
                std::to_string(static_cast<int>(kSilentSourceSeconds * 1000)).c_str(), 0);
  }
  return options;
}

}  // namespace sorvo::tools
