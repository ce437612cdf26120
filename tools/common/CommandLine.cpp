#include "tools/common/CommandLine.h"

#include <cstdio>

namespace sorvo::tools {

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", app.help().c_str());
    return 0;
  } catch (const CLI::ParseError& error) {
    const std::string name = app.get_name();
    std::fprintf(stderr, "%s: %s\nRun %s --help for the options.\n", name.c_str(), error.what(),
                 name.c_str());
    return 2;
  }
  return -1;
}

}  // namespace sorvo::tools
