#include "tools/record/OutputFolder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace sorvo::tools {

namespace fs = std::filesystem;

std::string DefaultOutputFolder() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%d_%H%M%S", &local);
  const std::string base = std::string("recordings/") + stamp;
  std::string folder = base;
  std::error_code ignored;
  for (int n = 2; fs::exists(folder, ignored); ++n) folder = base + "-" + std::to_string(n);
  return folder;
}

std::string PrepareOutputFolder(const std::string& folder, std::string* error) {
  std::error_code failure;
  fs::create_directories(folder, failure);
  if (failure) {
    *error = "cannot make the folder " + folder + ": " + failure.message();
    return "";
  }
  if (!fs::is_directory(folder, failure)) {
    *error = folder + " is not a folder";
    return "";
  }
  const std::string probe = folder + "/.sorvo-record-write-test";
  std::FILE* file = std::fopen(probe.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write in " + folder + ": " + std::strerror(errno);
    return "";
  }
  std::fclose(file);
  std::remove(probe.c_str());
  std::string absolute = fs::absolute(folder, failure).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

}  // namespace sorvo::tools
