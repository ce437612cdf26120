// The console page's files, built into the program (PageFiles.cpp is made from page/ at
// build time by EmbedPage.cmake), so that the console needs nothing from elsewhere.
#pragma once

#include <cstddef>
#include <string_view>

namespace sorvo::tools {

struct PageFile {
  const char* path;  // "/index.html", "/console.js", ...
  const char* contentType;
  const char* data;
  size_t size;
};

// The file at `path`; "/" is "/index.html". Null when there is none.
const PageFile* FindPageFile(std::string_view path);

}  // namespace sorvo::tools
