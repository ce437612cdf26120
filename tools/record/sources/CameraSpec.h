// The text of one --camera: SOURCE, optionally followed by ",name=NAME", the name the
// camera goes by (its file, its tracks, its clips in the edit lists and its no-signal
// picture show it). A source whose own text ends in
// something like ",name=..." (a URL's query) is written with the name after it.
#pragma once

#include <string>

namespace sorvo::tools {

struct CameraSpec {
  std::string source;
  std::string name;  // empty when none was given

  // False with `error` saying what is wrong.
  static bool Parse(const std::string& text, CameraSpec* spec, std::string* error);
};

}  // namespace sorvo::tools
