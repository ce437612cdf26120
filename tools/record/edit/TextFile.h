// A text file written piece by piece under a temporary name beside it, renamed when
// complete, so that a reader never finds half a file and a long document never has to be
// held whole in memory. One thread.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace sorvo::tools {

// Where a writer puts its text, piece by piece: a file, or a string.
using TextSink = std::function<void(std::string_view)>;

class TextFile {
 public:
  TextFile() = default;
  // A file not committed is removed.
  ~TextFile();
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;

  // Starts `path`; false with `error` when it cannot be created.
  bool Open(const std::string& path, std::string* error);
  void Write(std::string_view text);
  // Gives the file its name; false with `error` (what failed and why) when it could not
  // be written whole.
  bool Commit(std::string* error);

 private:
  std::string m_path;
  std::string m_partial;
  std::FILE* m_file = nullptr;
  int m_writeError = 0;  // errno of the first failed write
};

// Writes what `write` produces to `path` through a TextFile; false with `error`.
bool WriteTextFile(const std::string& path,
                   const std::function<void(const TextSink&)>& write,
                   std::string* error);

}  // namespace sorvo::tools
