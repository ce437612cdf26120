#include "host/AppDirectory.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace sorvo {
namespace {

std::mutex g_lock;
std::string g_override;  // guarded by g_lock

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string ExecutableDirectory() {
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return ".";
  std::string path(exe, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string AppDirectory() {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_override.empty()) return g_override;
  }
  const char* env = std::getenv("SORVO_APP_DIR");
  if (env != nullptr && *env != '\0') return StripTrailingSlashes(env);
  return ExecutableDirectory();
}

}  // namespace sorvo

void SorvoSetAppDirectory(const char* path) {
  std::lock_guard<std::mutex> hold(sorvo::g_lock);
  sorvo::g_override = (path == nullptr) ? std::string() : sorvo::StripTrailingSlashes(path);
}

int SorvoGetAppDirectory(char* buffer, int size) {
  std::string dir = sorvo::AppDirectory();
  if (buffer != nullptr && size > 0) {
    size_t n = std::min(dir.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, dir.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(dir.size());
}
