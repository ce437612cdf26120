// The utility library's settings file: an INI file in the application directory, read
// once at construction with Boost.PropertyTree. A missing file or key gives the default.
// Section and key names match in any case ([sorvo] savestream=1 is [Sorvo] SaveStream=1);
// where two differ only in case, the first in the file counts. Values keep their case.
#pragma once

#include <memory>
#include <string>

class CPrivateProfile {
 public:
  CPrivateProfile();
  virtual ~CPrivateProfile();
  // The integer under [section] key, or defaultValue when absent or not an integer.
  // `flag` is accepted for the host's signature and has no effect here.
  int GetInt(const char* section, const char* key, int defaultValue, int flag) const;
  // The text under [section] key, trimmed of surrounding blanks, or defaultValue when absent.
  std::string GetString(const char* section, const char* key, const char* defaultValue) const;

 protected:
  bool Load(const std::string& path);

 private:
  struct Tree;
  std::unique_ptr<Tree> m_tree;
};

class CSetting : public CPrivateProfile {
 public:
  // `fileName` is taken relative to the application directory.
  explicit CSetting(const char* fileName);
};
