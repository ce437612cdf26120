#include "tools/record/FolderSnapshot.h"

#include <filesystem>

namespace sorvo::tools {
namespace {

std::set<std::string> RegularFiles(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.is_regular_file(error)) names.insert(entry.path().filename().string());
  return names;
}

}  // namespace

FolderSnapshot::FolderSnapshot(std::string folder)
    : m_folder(std::move(folder)), m_names(RegularFiles(m_folder)) {}

std::vector<std::string> FolderSnapshot::Added() const {
  std::vector<std::string> added;
  for (const std::string& name : RegularFiles(m_folder))
    if (m_names.count(name) == 0) added.push_back(m_folder + "/" + name);
  return added;
}

}  // namespace sorvo::tools
