// A fresh application directory for one test: SORVO_APP_DIR points at a new temporary
// folder for the test's lifetime, and the folder is removed afterwards. From then on the
// library's servers listen on loopback only (a test of the settings file's address clears
// that with SorvoSetServerAddress(nullptr)).
#pragma once

#include <string>

namespace sorvo::test {

class TestAppDir {
 public:
  TestAppDir();
  ~TestAppDir();
  TestAppDir(const TestAppDir&) = delete;
  TestAppDir& operator=(const TestAppDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + name
  std::string File(const std::string& name) const;
  // Writes `text` to path()/name.
  void WriteFile(const std::string& name, const std::string& text) const;

 private:
  std::string m_path;
  std::string m_previous;
  bool m_hadPrevious = false;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace sorvo::test
