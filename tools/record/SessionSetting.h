// Turns keys of the library's [Sorvo] section on for the files made while the object
// lives: the library reads them from SettingVideo.ini in the application directory as it
// makes a sink ("SaveStream") or a file ("FragmentedMP4"). The object sets each key to 1
// there and puts the file back exactly as it was (or removes it, if there was none) when
// it is destroyed, so that the user's settings outlast the run unchanged. Sections and keys
// are found whatever their case, as the library finds them.
//
// When the recorder has moved the application directory to a folder it can write, the
// user's own settings file (in the directory the library would have used) is the starting
// point of the one written there, so that its settings still hold. Control thread only.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

class SessionSetting {
 public:
  // `userFile`: the settings to start from when `appDirectory` holds none; they are
  // written there even with no key to turn on. Empty: none.
  SessionSetting(const std::string& appDirectory, const std::vector<std::string>& keys,
                 const std::string& userFile = "");
  ~SessionSetting();
  SessionSetting(const SessionSetting&) = delete;
  SessionSetting& operator=(const SessionSetting&) = delete;

  // False when the settings file could not be written; error() says why.
  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }

  // The settings text with key=1 in its [Sorvo] section (the first of any case, or a new
  // one), everything else kept.
  static std::string WithKeyOn(const std::string& text, const std::string& key);

 private:
  std::string m_path;
  bool m_existed = false;
  bool m_changed = false;
  std::string m_original;
  std::string m_error;
};

}  // namespace sorvo::tools
