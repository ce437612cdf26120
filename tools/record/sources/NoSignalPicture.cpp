#include "tools/record/sources/NoSignalPicture.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "tools/record/sources/PictureCanvas.h"

namespace sorvo::tools {
namespace {

std::string Capitals(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The largest scale at which `text` fits `width` with a margin, at most `largest`.
int FittingScale(const std::string& text, int width, int largest) {
  int scale = std::max(1, largest);
  while (scale > 1 && PictureCanvas::TextWidth(text, scale) > width * 9 / 10)
    --scale;
  return scale;
}

}  // namespace

NoSignalPicture::NoSignalPicture(const std::string& cameraName,
                                 int width,
                                 int height,
                                 PixelFormat format,
                                 bool hold)
    : m_name(Capitals(cameraName)),
      m_width(width),
      m_height(height),
      m_format(format),
      m_hold(hold) {}

std::string NoSignalPicture::ElapsedText(double seconds) {
  const long long whole = seconds > 0 ? static_cast<long long>(std::floor(seconds)) : 0;
  char text[32];
  if (whole >= 3600)
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  else
    std::snprintf(text, sizeof(text), "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

void NoSignalPicture::Fill(double lostFor,
                           const std::vector<uint8_t>& last,
                           std::vector<uint8_t>* out) {
  if (m_hold && !last.empty()) {
    *out = last;
    return;
  }
  const std::string elapsed = ElapsedText(lostFor);
  if (m_slate.empty() || elapsed != m_shown)
    Draw(elapsed);
  *out = m_slate;
}

void NoSignalPicture::Draw(const std::string& elapsed) {
  m_slate.resize(SorvoPictureSize(m_format, m_width, m_height));
  PictureCanvas canvas(m_slate.data(), m_width, m_height, m_format);
  canvas.FillRect(0, 0, m_width, m_height, Rgb{kSlateRed, kSlateGreen, kSlateBlue});
  static const std::string kNoSignal = "NO SIGNAL";
  // "NO SIGNAL" large in the middle, the name above it and the time below, half as large.
  const int big = FittingScale(kNoSignal, m_width, m_height / 20);
  const int small = std::max(1, big / 2);
  const int nameScale = FittingScale(m_name, m_width, small);
  const int lineGap = 4 * small;
  const int total = 7 * nameScale + lineGap + 7 * big + lineGap + 7 * small;
  int y = std::max(0, (m_height - total) / 2);
  auto centred = [&](const std::string& text, int scale, Rgb colour) {
    canvas.DrawText((m_width - PictureCanvas::TextWidth(text, scale)) / 2, y, scale, text, colour);
    y += 7 * scale + lineGap;
  };
  centred(m_name, nameScale, Rgb{235, 235, 235});
  centred(kNoSignal, big, Rgb{235, 200, 40});
  centred(elapsed, small, Rgb{235, 235, 235});
  m_shown = elapsed;
}

}  // namespace sorvo::tools
