#include "common/TestAppDir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/AppDirectory.h"
#include "host/ITransferServer.h"

namespace sorvo::test {

TestAppDir::TestAppDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/sorvo-test-XXXXXX";
  char* made = mkdtemp(pattern.data());
  if (made == nullptr) {
    ADD_FAILURE() << "cannot create a temporary application directory";
    return;
  }
  m_path = made;
  if (const char* previous = std::getenv("SORVO_APP_DIR")) {
    m_hadPrevious = true;
    m_previous = previous;
  }
  setenv("SORVO_APP_DIR", m_path.c_str(), 1);
  SorvoSetAppDirectory(nullptr);
  SorvoSetServerAddress("127.0.0.1");
}

TestAppDir::~TestAppDir() {
  if (m_hadPrevious)
    setenv("SORVO_APP_DIR", m_previous.c_str(), 1);
  else
    unsetenv("SORVO_APP_DIR");
  if (!m_path.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
}

std::string TestAppDir::File(const std::string& name) const { return m_path + "/" + name; }

void TestAppDir::WriteFile(const std::string& name, const std::string& text) const {
  std::ofstream out(File(name), std::ios::binary);
  out << text;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

}  // namespace sorvo::test
