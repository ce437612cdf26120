#include "preview/PreviewPlacement.h"

#include <map>
#include <mutex>

namespace sorvo {
namespace {

std::mutex g_lock;
std::map<std::string, PreviewPlace> g_places;  // guarded by g_lock

}  // namespace

PreviewPlace PreviewPlaceOf(const std::string& name) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto found = g_places.find(name);
  return found != g_places.end() ? found->second : PreviewPlace();
}

}  // namespace sorvo

void SorvoSetPreviewPlacement(const char* name, int x, int y, int width, int height) {
  std::lock_guard<std::mutex> hold(sorvo::g_lock);
  if (name == nullptr) {
    sorvo::g_places.clear();
    return;
  }
  sorvo::PreviewPlace& place = sorvo::g_places[name];
  place.x = x;
  place.y = y;
  place.width = width > 0 ? width : 0;
  place.height = height > 0 ? height : 0;
}
