// Parses a program's command line with CLI11 the same way in every program: --help prints
// the help, a mistake prints one message and a pointer to --help on standard error.
#pragma once

#include <CLI/CLI.hpp>

namespace sorvo::tools {

// -1 to go on; otherwise the exit code to leave with: 0 after --help, 2 after a mistake.
int ParseCommandLine(CLI::App& app, int argc, char** argv);

}  // namespace sorvo::tools
