// Where the library keeps a session's stream files and reads the settings the recorder
// turns on for it: the application directory, or, when that cannot hold what the options
// ask for (a program installed for every user), the session folder, for this process only,
// the user's settings carried over.
//
// Threads: the control thread.
#pragma once

#include <memory>
#include <string>

#include "tools/record/RecordOptions.h"
#include "tools/record/SessionSetting.h"

namespace sorvo::tools {

class LibraryFolders {
 public:
  explicit LibraryFolders(const RecordOptions& options);

  // Finds out, before anything is written, whether the application directory can hold
  // this session's stream files and settings.
  void Check();
  // Moves the library into `outDir` when Check found it must (`note` says so; empty
  // otherwise), and turns on the settings the options ask for while the returned object
  // lives: the library reads them as it makes each sink and file. Null with `error`.
  std::unique_ptr<SessionSetting> Apply(const std::string& outDir,
                                        std::string* note,
                                        std::string* error);

  // The folder the library's stream folders go in for a session in `outDir`, once Check
  // has found out whether it can be the application directory.
  std::string StreamFolder(const std::string& outDir) const {
    return m_problem.empty() ? m_appDir : outDir;
  }
  // The library's folders of raw and of private stream files.
  std::string rawFolder() const { return m_appDir + "/RawStream"; }
  std::string privateFolder() const { return m_appDir + "/PrivateRawStream"; }

 private:
  const RecordOptions& m_options;
  std::string m_appDir;   // the library's; the session folder once moved there
  std::string m_problem;  // why it must move; empty when it stays
};

}  // namespace sorvo::tools
