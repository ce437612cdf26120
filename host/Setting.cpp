#include "host/Setting.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "host/AppDirectory.h"

struct CPrivateProfile::Tree {
  boost::property_tree::ptree root;
};

namespace {

template <typename T>
boost::optional<T> Find(const boost::property_tree::ptree& root, const char* section,
                        const char* key) {
  if (section == nullptr || key == nullptr) return boost::none;
  // A NUL separator keeps dots in section and key names from being read as paths.
  auto sec = root.get_child_optional(boost::property_tree::ptree::path_type(section, '\0'));
  if (!sec) return boost::none;
  return sec->get_optional<T>(boost::property_tree::ptree::path_type(key, '\0'));
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
