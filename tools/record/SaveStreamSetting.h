// Turns the library's raw stream saving on for the sinks created while the object lives:
// the library reads "SaveStream" from the [Sorvo] section of SettingVideo.ini in the
// application directory when a sink is created. The object sets SaveStream=1 there and puts
// the file back exactly as it was (or removes it, if there was none) when it is destroyed,
// so that the user's settings outlast the run unchanged. Control thread only.
#pragma once

#include <string>

namespace sorvo::tools {

class SaveStreamSetting {
 public:
  explicit SaveStreamSetting(const std::string& appDirectory);
  ~SaveStreamSetting();
  SaveStreamSetting(const SaveStreamSetting&) = delete;
  SaveStreamSetting& operator=(const SaveStreamSetting&) = delete;

  // False when the settings file could not be written; error() says why.
  bool ok() const { return m_error.empty(); }
  const std::string& error() const { return m_error; }

  // The settings text with SaveStream=1 in its [Sorvo] section, everything else kept.
  static std::string WithSaveStream(const std::string& text);

 private:
  std::string m_path;
  bool m_existed = false;
  bool m_changed = false;
  std::string m_original;
  std::string m_error;
};

}  // namespace sorvo::tools
