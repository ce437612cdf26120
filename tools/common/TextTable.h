// A table of text for a terminal: a heading row, a rule, and rows whose columns line up.
// Columns flagged as numeric are aligned right.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace sorvo::tools {

class TextTable {
 public:
  struct Column {
    std::string heading;
    bool numeric = false;
  };
  explicit TextTable(std::vector<Column> columns);

  // A row with fewer cells than columns is padded with empty ones.
  void AddRow(std::vector<std::string> cells);
  void Print(std::FILE* out) const;

 private:
  std::vector<Column> m_columns;
  std::vector<std::vector<std::string>> m_rows;
};

// Formatting helpers for table cells.
std::string FormatCount(long long value);            // 1234567 -> "1,234,567"
std::string FormatFixed(double value, int decimals);  // 2.5, 1 -> "2.5"
std::string FormatBytes(long long bytes);             // 1536 -> "1.5 KiB"
std::string FormatDuration(double seconds);           // 3930 -> "1 h 05 min", 75 -> "1 min 15 s"

}  // namespace sorvo::tools
