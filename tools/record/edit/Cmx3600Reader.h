// A strict reader of CMX 3600 edit decision lists, written from the format's definition
// (not from the writer beside it), so that the session's check and the tests hold a list to
// what editors read:
// a TITLE line first, an optional FCM line, then events in fixed columns
//   cols  1-3  event number, 001 to 999, each one more than the one before
//   cols  6-13 reel name, 1 to 8 letters, digits or '_', left-justified
//   cols 15-19 channels (V, A, A2, B, AA, AA/V)
//   cols 21-28 transition (C for a cut)
//   cols 30, 42, 54, 66: source in, source out, record in, record out, HH:MM:SS:FF
// with each out after its in (an out point may be 24:00:00:00, the end of the day), a cut as long
// on the source as on the record, record times in order without overlap among the events on
// pictures and among those on sound (B and AA/V are on both), each kind on its own; comment
// lines start with '*', and blank lines are allowed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvo::tools {

struct CmxEvent {
  int number = 0;
  std::string reel;
  std::string channels;
  std::string transition;
  int64_t sourceIn = 0;  // pictures of the day
  int64_t sourceOut = 0;
  int64_t recordIn = 0;
  int64_t recordOut = 0;
  std::vector<std::string> comments;  // the '*' lines after it, without the '*' and a space
};

struct CmxList {
  std::string title;
  std::string fcm;
  std::vector<CmxEvent> events;
  std::vector<std::string> errors;  // every breach of the format, with its line number
};

CmxList ReadCmx3600(const std::string& text, int rate);

}  // namespace sorvo::tools
