// A new file written under a temporary name beside its final one and given its final name
// only when it is complete, so that a rescue that fails (or is stopped) leaves no half file
// and never replaces what was there before. Removed unless committed. One thread.
#pragma once

#include <string>

namespace sorvo::tools {

class StagedOutput {
 public:
  explicit StagedOutput(std::string finalPath);
  ~StagedOutput();
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // Creates the temporary file (empty); false with `error` set when its folder does not
  // take it.
  bool Create(std::string* error);
  // Where to write.
  const std::string& path() const { return m_temporary; }
  // Gives the written file its final name.
  bool Commit(std::string* error);

 private:
  std::string m_final;
  std::string m_temporary;
  bool m_committed = false;
};

}  // namespace sorvo::tools
