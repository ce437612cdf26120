#include "tools/record/OutputFolder.h"

#include <algorithm>
#include <cctype>
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

bool FolderCanHoldFiles(const std::string& folder, std::string* error) {
  std::error_code failure;
  const fs::file_status status = fs::status(folder, failure);
  if (status.type() == fs::file_type::not_found)
    return FolderTakesFiles(fs::path(folder).parent_path().string(), error);
  if (status.type() != fs::file_type::directory) {
    *error = failure ? failure.message() : "it is not a folder";
    return false;
  }
  return FolderTakesFiles(folder, error);
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

std::vector<std::string> EarlierRecordings(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    std::string extension = entry.path().extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // The edit lists and the cut's journal too: a new session would write its own over
    // them; and what sorvo-recover rebuilt of a killed session.
    const bool media = (extension == ".mp4" || extension == ".wav" || extension == ".edl" ||
                        extension == ".otio" || extension == ".mlt" || extension == ".cut") &&
                       entry.is_regular_file(error);
    const bool streams =
        (name == "RawStream" || name == "PrivateRawStream" || name == "recovered") &&
        entry.is_directory(error);
    if (media || streams) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string MoveAside(const std::string& folder, const std::vector<std::string>& names,
                      std::string* error) {
  std::string aside;
  for (int n = 1;; ++n) {
    aside = folder + "/earlier-" + std::to_string(n);
    std::error_code failure;
    if (fs::create_directory(aside, failure)) break;
    if (failure || n == 10000) {
      *error = "cannot make a folder to move the earlier recordings into (" + aside +
               (failure ? ": " + failure.message() : std::string(" and the ones before exist")) +
               ")";
      return "";
    }
  }
  std::string moved;
  for (const std::string& name : names) {
    // A new folder holds nothing, so a name cannot be taken; the rename stays within one
    // file system and moves the file whole or not at all.
    if (std::rename((folder + "/" + name).c_str(), (aside + "/" + name).c_str()) != 0) {
      *error = "cannot move " + folder + "/" + name + " into " + aside + ": " +
               std::strerror(errno) +
               (moved.empty() ? "" : " (moved there already: " + moved + ")");
      return "";
    }
    moved += (moved.empty() ? "" : ", ") + name;
  }
  return aside;
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

std::string FolderName(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/')
    trimmed.pop_back();
  const size_t slash = trimmed.find_last_of('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

}  // namespace sorvo::tools
