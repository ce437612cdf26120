#include "host/ScaleRect.h"

#include <cstdint>

CRect ScaleRect(CRect area, int width, int height, int /*mode*/) {
  const int64_t areaW = area.Width();
  const int64_t areaH = area.Height();
  if (width <= 0 || height <= 0 || areaW <= 0 || areaH <= 0) return area;
  int64_t w = areaW;
  int64_t h = areaW * height / width;
  if (h > areaH) {
    h = areaH;
    w = areaH * width / height;
  }
  const int64_t left = area.left + (areaW - w) / 2;
  const int64_t top = area.top + (areaH - h) / 2;
  return CRect(static_cast<int32_t>(left), static_cast<int32_t>(top),
               static_cast<int32_t>(left + w), static_cast<int32_t>(top + h));
}
