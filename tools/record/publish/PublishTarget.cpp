#include "tools/record/publish/PublishTarget.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace sorvo::tools {
namespace {

constexpr char kAccepted[] =
    "give rtmp://HOST[:PORT]/APP/KEY, rtmps://..., srt://HOST:PORT, udp://HOST:PORT or a "
    "path ending in .m3u8";

bool EndsWithNoCase(const std::string& text, const std::string& end) {
  if (text.size() < end.size())
    return false;
  return std::equal(end.begin(), end.end(), text.end() - static_cast<long>(end.size()),
                    [](char a, char b) {
                      return std::tolower(static_cast<unsigned char>(a)) ==
                             std::tolower(static_cast<unsigned char>(b));
                    });
}

// Query parameters whose values are secrets (SRT's passphrase, a server's token).
bool SecretKey(const std::string& key) {
  static const std::vector<std::string> kSecrets = {"passphrase", "password", "pass",    "key",
                                                    "token",      "secret",   "streamid"};
  std::string lower = key;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::find(kSecrets.begin(), kSecrets.end(), lower) != kSecrets.end();
}

std::string MaskQuery(const std::string& query) {
  std::string shown;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos)
      end = query.size();
    const std::string pair = query.substr(start, end - start);
    const size_t equals = pair.find('=');
    if (!shown.empty())
      shown += '&';
    shown += equals != std::string::npos && SecretKey(pair.substr(0, equals))
                 ? pair.substr(0, equals + 1) + "***"
                 : pair;
    start = end + 1;
  }
  return shown;
}

// "HOST[:PORT]" with a port of 1 to 65535 when given (required by `needPort`); IPv6 hosts
// in brackets.
bool GoodAuthority(const std::string& authority, bool needPort) {
  std::string hostPort =
      authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
  std::string port;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    if (close == std::string::npos || close == 1)
      return false;
    if (close + 1 < hostPort.size()) {
      if (hostPort[close + 1] != ':')
        return false;
      port = hostPort.substr(close + 2);
    }
  } else {
    const size_t colon = hostPort.rfind(':');
    if (colon == 0)
      return false;
    if (colon != std::string::npos)
      port = hostPort.substr(colon + 1);
    if (hostPort.empty())
      return false;
  }
  if (port.empty())
    return !needPort && hostPort.back() != ':';
  if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
      }))
    return false;
  const int number = std::stoi(port);
  return number >= 1 && number <= 65535;
}

}  // namespace

const char* PublishTarget::Muxer() const {
  switch (kind) {
    case Kind::kRtmp:
      return "flv";
    case Kind::kSrt:
    case Kind::kUdp:
      return "mpegts";
    case Kind::kHls:
      return "hls";
  }
  return "";
}

bool ParsePublishTarget(const std::string& text, PublishTarget* target, std::string* why) {
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string::npos) {
    if (!EndsWithNoCase(text, ".m3u8") || text.size() == 5 || text.back() == '/') {
      *why = kAccepted;
      return false;
    }
    target->kind = PublishTarget::Kind::kHls;
    target->scheme = "hls";
    target->url = text;
    target->shown = text;
    return true;
  }
  std::string scheme = text.substr(0, schemeEnd);
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string rest = text.substr(schemeEnd + 3);
  const size_t authorityEnd = rest.find_first_of("/?");
  const std::string authority = rest.substr(0, authorityEnd);
  const std::string afterAuthority =
      authorityEnd == std::string::npos ? "" : rest.substr(authorityEnd);
  // A password in the authority is never shown.
  std::string shownAuthority = authority;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const size_t colon = authority.find(':');
    if (colon != std::string::npos && colon < at)
      shownAuthority = authority.substr(0, colon + 1) + "***" + authority.substr(at);
  }

  if (scheme == "rtmp" || scheme == "rtmps") {
    // The application and the stream key are both needed: a server takes a stream only
    // by its key, and the key is the secret the service gave.
    const std::string path = afterAuthority.empty() ? "" : afterAuthority.substr(1);
    const size_t slash = path.find('/');
    if (!GoodAuthority(authority, false) || afterAuthority.empty() || afterAuthority[0] != '/' ||
        slash == std::string::npos || slash == 0 || slash + 1 >= path.size()) {
      *why = scheme + " needs a host, an application and a stream key: " + scheme +
             "://HOST[:PORT]/APP/KEY";
      return false;
    }
    target->kind = PublishTarget::Kind::kRtmp;
    target->shown = scheme + "://" + shownAuthority + "/" + path.substr(0, slash) + "/***";
  } else if (scheme == "srt" || scheme == "udp") {
    if (!GoodAuthority(authority, true) ||
        (!afterAuthority.empty() && afterAuthority != "/" && afterAuthority[0] != '?' &&
         afterAuthority.rfind("/?", 0) != 0)) {
      *why = scheme + " needs a host and a port: " + scheme + "://HOST:PORT[?OPTIONS]";
      return false;
    }
    target->kind = scheme == "srt" ? PublishTarget::Kind::kSrt : PublishTarget::Kind::kUdp;
    const size_t question = afterAuthority.find('?');
    target->shown =
        scheme + "://" + shownAuthority +
        (question == std::string::npos ? "" : "?" + MaskQuery(afterAuthority.substr(question + 1)));
  } else {
    *why = kAccepted;
    return false;
  }
  target->scheme = scheme;
  target->url = text;
  return true;
}

}  // namespace sorvo::tools
