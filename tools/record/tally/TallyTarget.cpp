#include "tools/record/tally/TallyTarget.h"

namespace sorvo::tools {

bool TallyTarget::Parse(const std::string& text, TallyTarget* target, std::string* error) {
  std::string rest = text;
  target->tcp = false;
  if (rest.rfind("tcp://", 0) == 0) {
    target->tcp = true;
    rest = rest.substr(6);
  } else if (rest.rfind("udp://", 0) == 0) {
    rest = rest.substr(6);
  } else if (rest.find("://") != std::string::npos) {
    *error = "tally goes over udp:// or tcp://, not " + rest.substr(0, rest.find("://") + 3);
    return false;
  }
  return ServerAddress::Parse(rest, &target->address, error);
}

}  // namespace sorvo::tools
