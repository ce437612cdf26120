#include "tools/record/OutputFolder.h"

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

bool FolderTakesFiles(const std::string& folder, std::string* error) {
  // Permissions alone do not tell (a superuser passes them on a read-only file system):
  // a file is made and removed.
  const std::string probe = folder + "/.sorvo-record-write-test";
  std::FILE* file = std::fopen(probe.c_str(), "wb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  std::fclose(file);
  std::remove(probe.c_str());
  return true;
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
  std::string why;
  if (!FolderTakesFiles(folder, &why)) {
    *error = "cannot write in " + folder + ": " + why;
    return "";
  }
  std::string absolute = fs::absolute(folder, failure).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  return absolute;
}

bool CanCreateFile(const std::string& path, std::string* error) {
  const fs::path parent = fs::path(path).parent_path();
  const std::string folder = parent.empty() ? "." : parent.string();
  std::error_code failure;
  if (fs::is_directory(path, failure)) {
    *error = path + " is a folder";
    return false;
  }
  if (!fs::is_directory(folder, failure)) {
    *error = "cannot write " + path + ": its folder does not exist";
    return false;
  }
  std::string why;
  if (!FolderTakesFiles(folder, &why)) {
    *error = "cannot write " + path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
