// Where tally goes, as --tally gives it: HOST:PORT or udp://HOST:PORT for datagrams,
// tcp://HOST:PORT for a connection. Read on the main thread.
#pragma once

#include <string>

#include "tools/common/ServerAddress.h"

namespace sorvo::tools {

struct TallyTarget {
  bool tcp = false;
  ServerAddress address;

  // False with `error` saying what is wrong with `text`.
  static bool Parse(const std::string& text, TallyTarget* target, std::string* error);
  std::string Shown() const { return std::string(tcp ? "tcp://" : "udp://") + address.text; }
};

}  // namespace sorvo::tools
