#include "host/Setting.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <string>

#include "host/AppDirectory.h"

struct CPrivateProfile::Tree {
  boost::property_tree::ptree root;
};

namespace {

// INI names are matched as their users expect: in any case (ASCII letters), whole names
// only; dots in them are plain characters.
bool SameName(const std::string& written, const char* asked) {
  auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
  size_t i = 0;
  for (; i < written.size() && asked[i] != '\0'; ++i)
    if (lower(written[i]) != lower(asked[i]))
      return false;
  return i == written.size() && asked[i] == '\0';
}

// The value under the first section and key of those names in file order; the value
// keeps its case.
template <typename T>
boost::optional<T> Find(const boost::property_tree::ptree& root, const char* section,
                        const char* key) {
  if (section == nullptr || key == nullptr) return boost::none;
  for (const auto& sec : root) {
    if (!SameName(sec.first, section))
      continue;
    for (const auto& entry : sec.second)
      if (SameName(entry.first, key))
        return entry.second.get_value_optional<T>();
  }
  return boost::none;
}

}  // namespace

CPrivateProfile::CPrivateProfile() : m_tree(std::make_unique<Tree>()) {}
CPrivateProfile::~CPrivateProfile() = default;

bool CPrivateProfile::Load(const std::string& path) {
  try {
    boost::property_tree::read_ini(path, m_tree->root);
    return true;
  } catch (const boost::property_tree::ptree_error&) {
    m_tree->root.clear();
    return false;
  }
}

int CPrivateProfile::GetInt(const char* section, const char* key, int defaultValue,
                            int /*flag*/) const {
  return Find<int>(m_tree->root, section, key).value_or(defaultValue);
}

std::string CPrivateProfile::GetString(const char* section, const char* key,
                                       const char* defaultValue) const {
  if (auto value = Find<std::string>(m_tree->root, section, key)) return *value;
  return defaultValue != nullptr ? defaultValue : "";
}

CSetting::CSetting(const char* fileName) {
  if (fileName != nullptr) Load(sorvo::AppDirectory() + "/" + fileName);
}
