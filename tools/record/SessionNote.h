// A thing the user should know, said once, or folded with the notes like it: the same words
// but for their numbers. A source whose pictures change size at every picture makes one note
// with a count and its first and last times, not thousands, in every document, event and
// log line.
#pragma once

#include <string>
#include <vector>

#include "tools/common/Json.h"

namespace sorvo::tools {

struct SessionNote {
  // A note said once, at a time not known.
  SessionNote(std::string said) : text(std::move(said)) {}  // NOLINT: a note is its text

  std::string text;  // as first said
  std::string last;  // the last of the notes like it; empty while said once
  long long count = 1;
  double firstAt = -1;  // session seconds; -1 when not known
  double lastAt = -1;

  // The text, and for a repeated note how often and when, and the last of them.
  std::string Shown() const;
};

// Whether `a` and `b` are the same words but for their numbers.
bool AlikeNotes(const std::string& a, const std::string& b);

// "notes", the texts as first said (what a reader compares to know a note it has seen), and
// "repeatedNotes", each note said more than once: {text, last, count, firstAt, lastAt}.
void AddNotesJson(const std::vector<SessionNote>& notes, Json* document);

}  // namespace sorvo::tools
