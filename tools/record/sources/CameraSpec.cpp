#include "tools/record/sources/CameraSpec.h"

#include <algorithm>

namespace sorvo::tools {

bool CameraSpec::Parse(const std::string& text, CameraSpec* spec, std::string* error) {
  static const std::string kName = ",name=";
  const size_t at = text.rfind(kName);
  spec->source = at == std::string::npos ? text : text.substr(0, at);
  spec->name = at == std::string::npos ? "" : text.substr(at + kName.size());
  if (spec->source.empty()) {
    *error = "\"" + text + "\" names no source before its name";
    return false;
  }
  if (at != std::string::npos) {
    // UTF-8 is taken as it comes; control characters are not.
    const bool printable = std::none_of(spec->name.begin(), spec->name.end(), [](char c) {
      const unsigned char byte = static_cast<unsigned char>(c);
      return byte < 0x20 || byte == 0x7F;
    });
    // The name also names the camera's file, so it may not lead out of the session folder
    // or hide the file.
    const bool fileName = spec->name.find('/') == std::string::npos && spec->name[0] != '.';
    if (spec->name.empty() || !printable || !fileName) {
      *error = "the name in \"" + text +
               "\" must be one or more characters, none of them a control character or '/', "
               "and not begin with '.'";
      return false;
    }
  }
  return true;
}

}  // namespace sorvo::tools
