#include "host/PathUtil.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

int PathFileExistsA(const char* path) {
  if (path == nullptr || *path == '\0') return 0;
  struct stat st;
  return ::stat(path, &st) == 0 ? 1 : 0;
}

const char* PathFindExtensionA(const char* path) {
  if (path == nullptr) return nullptr;
  const char* slash = std::strrchr(path, '/');
  const char* name = slash ? slash + 1 : path;
  const char* dot = std::strrchr(name, '.');
  return dot ? dot : name + std::strlen(name);
}

void PathRemoveExtensionA(char* path) {
  if (path == nullptr) return;
  char* ext = const_cast<char*>(PathFindExtensionA(path));
  *ext = '\0';
}

int PathRemoveFileSpecA(char* path) {
  if (path == nullptr || *path == '\0') return 0;
  char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    *path = '\0';
    return 1;
  }
  if (slash == path) {  // keep the root
    if (slash[1] == '\0') return 0;
    slash[1] = '\0';
    return 1;
  }
  *slash = '\0';
  return 1;
}

int DeleteFileA(const char* path) {
  if (path == nullptr) return 0;
  return ::unlink(path) == 0 ? 1 : 0;
}

int CreateDirectoryA(const char* path, void* /*securityAttributes*/) {
  if (path == nullptr || *path == '\0') return 0;
  std::string dir(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return ::mkdir(dir.c_str(), 0777) == 0 ? 1 : 0;
}
