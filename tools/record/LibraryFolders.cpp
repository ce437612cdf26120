#include "tools/record/LibraryFolders.h"

#include <sorvo/sorvo.h>

#include <utility>
#include <vector>

#include "tools/record/OutputFolder.h"

namespace sorvo::tools {

LibraryFolders::LibraryFolders(const RecordOptions& options) : m_options(options) {
  char path[4096];
  SorvoGetAppDirectory(path, sizeof(path));
  m_appDir = path;
}

void LibraryFolders::Check() {
  // The library keeps its stream folders in the application directory, and reads the
  // settings the recorder changes for the session from there.
  std::string why;
  if ((m_options.privateStream || m_options.saveStream || m_options.fragmentedMp4) &&
      !FolderTakesFiles(m_appDir, &why)) {
    m_problem = "the application directory " + m_appDir + " cannot be written (" + why + ")";
    return;
  }
  const std::vector<std::pair<bool, const char*>> folders = {
      {m_options.privateStream, "PrivateRawStream"}, {m_options.saveStream, "RawStream"}};
  for (const auto& [wanted, name] : folders) {
    if (wanted && !FolderCanHoldFiles(m_appDir + "/" + name, &why)) {
      m_problem =
          "the library's folder " + m_appDir + "/" + name + " cannot take files (" + why + ")";
      return;
    }
  }
}

std::unique_ptr<SessionSetting> LibraryFolders::Apply(const std::string& outDir,
                                                      std::string* note,
                                                      std::string* error) {
  std::string userSettings;
  note->clear();
  if (!m_problem.empty()) {
    userSettings = m_appDir + "/SettingVideo.ini";
    SorvoSetAppDirectory(outDir.c_str());
    m_appDir = outDir;
    *note = m_problem +
            ": the library's stream folders and the session's settings are kept in the "
            "session folder " +
            outDir + " instead";
  }
  // The library reads SaveStream as it makes each sink and FragmentedMP4 as it makes each
  // MP4 (the cameras', the director's and the multi-stream file), and only then.
  std::vector<std::string> keys;
  if (m_options.saveStream)
    keys.push_back("SaveStream");
  if (m_options.fragmentedMp4)
    keys.push_back("FragmentedMP4");
  auto setting = std::make_unique<SessionSetting>(m_appDir, keys, userSettings);
  if (!setting->ok()) {
    *error = setting->error();
    return nullptr;
  }
  return setting;
}

}  // namespace sorvo::tools
