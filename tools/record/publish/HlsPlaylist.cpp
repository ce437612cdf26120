#include "tools/record/publish/HlsPlaylist.h"

#include <stdio.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sorvo::tools {
namespace {

constexpr double kLeastTargetDurations = 3;

std::string ReadText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether a player may start on `text`: it has ended, or its segments last at least three
// target durations.
bool LongEnough(const std::string& text) {
  std::istringstream lines(text);
  std::string line;
  double target = 0;
  double listed = 0;
  while (std::getline(lines, line)) {
    if (line == "#EXT-X-ENDLIST")
      return true;
    if (line.rfind("#EXT-X-TARGETDURATION:", 0) == 0)
      target = std::strtod(line.c_str() + 22, nullptr);
    else if (line.rfind("#EXTINF:", 0) == 0)
      listed += std::strtod(line.c_str() + 8, nullptr);
  }
  return target > 0 && listed >= kLeastTargetDurations * target;
}

}  // namespace

HlsPlaylist::HlsPlaylist(std::string publicPath)
    : m_publicPath(std::move(publicPath)), m_writerPath(m_publicPath + ".writer") {}

void HlsPlaylist::Restart() {
  std::remove(m_publicPath.c_str());
  m_published.clear();
}

bool HlsPlaylist::Update(std::string* error) {
  const std::string text = ReadText(m_writerPath);
  if (text == m_published || !LongEnough(text))
    return true;
  const std::string temporary = m_publicPath + ".tmp";
  {
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file << text;
    file.flush();
    if (!file) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  if (std::rename(temporary.c_str(), m_publicPath.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + m_publicPath + ": " + std::strerror(errno);
    return false;
  }
  m_published = text;
  return true;
}

}  // namespace sorvo::tools
