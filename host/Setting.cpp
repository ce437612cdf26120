#include "host/Setting.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "host/AppDirectory.h"

struct CPrivateProfile::Tree {
  boost::property_tree::ptree root;
};

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
  if (section == nullptr || key == nullptr) return defaultValue;
  auto sec = m_tree->root.get_child_optional(boost::property_tree::ptree::path_type(section, '\0'));
  if (!sec) return defaultValue;
  auto value = sec->get_optional<int>(boost::property_tree::ptree::path_type(key, '\0'));
  return value ? *value : defaultValue;
}

CSetting::CSetting(const char* fileName) {
  if (fileName != nullptr) Load(sorvo::AppDirectory() + "/" + fileName);
}
