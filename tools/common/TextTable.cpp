#include "tools/common/TextTable.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace sorvo::tools {
namespace {

// Whether a terminal gives the character two columns: the wide East Asian ranges.
bool IsWide(uint32_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
         (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
         (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// Terminal columns a UTF-8 text takes (the file names may be Chinese).
size_t DisplayWidth(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (int k = 1; k < length && i + k < text.size(); ++k)
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    width += IsWide(c) ? 2 : 1;
    i += static_cast<size_t>(length);
  }
  return width;
}

}  // namespace

TextTable::TextTable(std::vector<Column> columns) : m_columns(std::move(columns)) {}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(m_columns.size());
  m_rows.push_back(std::move(cells));
}

void TextTable::Print(std::FILE* out) const {
  std::vector<size_t> widths;
  for (const Column& column : m_columns) widths.push_back(DisplayWidth(column.heading));
  for (const auto& row : m_rows)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));

  auto printRow = [&](const std::vector<std::string>& cells) {
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(widths[i] - DisplayWidth(cells[i]), ' ');
      if (i > 0) line += "  ";
      line += m_columns[i].numeric ? pad + cells[i] : cells[i] + (i + 1 < cells.size() ? pad : "");
    }
    std::fprintf(out, "  %s\n", line.c_str());
  };
  std::vector<std::string> headings;
  for (const Column& column : m_columns) headings.push_back(column.heading);
  printRow(headings);
  size_t total = 0;
  for (size_t w : widths) total += w;
  std::fprintf(out, "  %s\n", std::string(total + 2 * (widths.size() - 1), '-').c_str());
  for (const auto& row : m_rows) printRow(row);
}

std::string FormatCount(long long value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return value < 0 ? "-" + digits : digits;
}

std::string FormatFixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.*f", decimals, value);
  return text;
}

std::string FormatBytes(long long bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  return unit == 0 ? std::to_string(bytes) + " B" : FormatFixed(value, 1) + " " + kUnits[unit];
}

std::string FormatDuration(double seconds) {
  const long long whole = std::llround(std::max(0.0, seconds));
  char text[64];
  if (whole >= 3600)
    std::snprintf(text, sizeof(text), "%lld h %02lld min", whole / 3600, whole % 3600 / 60);
  else if (whole >= 60)
    std::snprintf(text, sizeof(text), "%lld min %02lld s", whole / 60, whole % 60);
  else
    std::snprintf(text, sizeof(text), "%lld s", whole);
  return text;
}

}  // namespace sorvo::tools
