#include "tools/record/SessionSetting.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace sorvo::tools {
namespace {

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Sections and keys are matched as the library matches them, whatever their case.
std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ReadText(const std::string& path, bool* found) {
  std::ifstream in(path, std::ios::binary);
  *found = static_cast<bool>(in);
  std::ostringstream all;
  if (in) all << in.rdbuf();
  return all.str();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

std::string SessionSetting::WithKeyOn(const std::string& text, const std::string& key) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);

  auto isSection = [&](size_t i) { return !Trim(lines[i]).empty() && Trim(lines[i])[0] == '['; };
  size_t header = 0;
  while (header < lines.size() && Lower(Trim(lines[header])) != "[sorvo]") ++header;
  if (header == lines.size()) {
    lines.push_back("[Sorvo]");
    lines.push_back(key + "=1");
  } else {
    size_t i = header + 1;
    for (; i < lines.size() && !isSection(i); ++i) {
      const std::string line = Trim(lines[i]);
      const size_t equals = line.find('=');
      if (equals != std::string::npos && Lower(Trim(line.substr(0, equals))) == Lower(key)) break;
    }
    if (i < lines.size() && !isSection(i))
      lines[i] = key + "=1";
    else
      lines.insert(lines.begin() + static_cast<long>(header) + 1, key + "=1");
  }
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

SessionSetting::SessionSetting(const std::string& appDirectory,
                               const std::vector<std::string>& keys,
                               const std::string& userFile)
    : m_path(appDirectory + "/SettingVideo.ini") {
  if (keys.empty() && userFile.empty()) return;
  m_original = ReadText(m_path, &m_existed);
  std::string changed = m_original;
  if (!m_existed && !userFile.empty()) {
    bool found = false;  // a user without a settings file of their own starts from nothing
    changed = ReadText(userFile, &found);
  }
  for (const std::string& key : keys) changed = WithKeyOn(changed, key);
  if (m_existed ? changed == m_original : changed.empty()) return;
  if (!WriteText(m_path, changed)) {
    m_error = "cannot write " + m_path + ": " + std::strerror(errno);
    return;
  }
  m_changed = true;
}

SessionSetting::~SessionSetting() {
  if (!m_changed) return;
  if (m_existed)
    WriteText(m_path, m_original);
  else
    std::remove(m_path.c_str());
}

}  // namespace sorvo::tools
