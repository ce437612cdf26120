#include "tools/record/SessionNote.h"

#include <cctype>

#include "tools/common/TextTable.h"

namespace sorvo::tools {

namespace {

bool Digit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::string SessionNote::Shown() const {
  if (count <= 1)
    return text;
  std::string shown = text + " (said " + std::to_string(count) + " times";
  if (firstAt >= 0 && lastAt >= 0)
    shown += ", from " + FormatFixed(firstAt, 1) + " s to " + FormatFixed(lastAt, 1) + " s";
  return shown + "; the last: " + last + ")";
}

bool AlikeNotes(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t k = 0;
  while (i < a.size() && k < b.size()) {
    if (Digit(a[i]) && Digit(b[k])) {
      while (i < a.size() && Digit(a[i]))
        ++i;
      while (k < b.size() && Digit(b[k]))
        ++k;
      continue;
    }
    if (a[i] != b[k])
      return false;
    ++i;
    ++k;
  }
  return i == a.size() && k == b.size();
}

void AddNotesJson(const std::vector<SessionNote>& notes, Json* document) {
  Json texts = Json::array();
  Json repeated = Json::array();
  for (const SessionNote& note : notes) {
    texts.push_back(note.text);
    if (note.count > 1)
      repeated.push_back({{"text", note.text},
                          {"last", note.last},
                          {"count", note.count},
                          {"firstAt", note.firstAt >= 0 ? Json(note.firstAt) : Json(nullptr)},
                          {"lastAt", note.lastAt >= 0 ? Json(note.lastAt) : Json(nullptr)}});
  }
  (*document)["notes"] = std::move(texts);
  (*document)["repeatedNotes"] = std::move(repeated);
}

}  // namespace sorvo::tools
