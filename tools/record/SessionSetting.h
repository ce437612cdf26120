// Turns keys of the library's [Sorvo] section on for the files made while the object
// lives: the library reads them from SettingVideo.ini in the application directory as it
// makes a sink ("SaveStream") or a file ("FragmentedMP4"). The object sets each key to 1
// there and puts the file back exactly as it was (or removes it, if there was none) when
// it is destroyed, so that the user's settings outlast the run unchanged. Control thread
// only.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

class SessionSetting {
 public:
  SessionSetting(const std::string& appDirectory, const std::vector<std::string>& keys);
  ~SessionSetting();
  SessionSetting(const SessionSetting&) = delete;
  SessionSetting& operator=(const SessionSetting&) = delete;

  // False when the settings file could not be written; error() says why.
  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }

  // The settings text with key=1 in its [Sorvo] section, everything else kept.
  static std::string WithKeyOn(const std::string& text, const std::string& key);

 private:
  std::string m_path;
  bool m_existed = false;
  bool m_changed = false;
  std::string m_original;
  std::string m_error;
};

}  // namespace sorvo::tools
