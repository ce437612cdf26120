// Parses a program's command line with CLI11 the same way in every program: --help prints
// the help, a mistake prints one message and a pointer to --help on standard error.
//
// The checks below give every option's mistake in words a person reads, naming what the
// option accepts: "--fps: 0 is not accepted: give a whole number from 1 to 35".
#pragma once

#include <CLI/CLI.hpp>
#include <initializer_list>
#include <string>

namespace sorvo::tools {

// -1 to go on; otherwise the exit code to leave with: 0 after --help, 2 after a mistake.
int ParseCommandLine(CLI::App& app, int argc, char** argv);

// 31536000 -> "31,536,000", 0.04 -> "0.04": a bound as a person writes it.
std::string FormatNumber(double value);

// "a whole number from 1 to 35", "a number of seconds from 0 to 31,536,000": what a number
// option accepts; `unit` (plural) is left out when empty.
std::string WholeNumberWords(long long low, long long high, const std::string& unit = "");
std::string NumberWords(double low, double high, const std::string& unit = "");

// The message for a value an option does not take: "<text> is not accepted: give <accepted>".
std::string NotAccepted(const std::string& text, const std::string& accepted);

// Checks for number options: the text must be a whole number (or, for NumberIn, a finite
// decimal number) within the bounds, both included; otherwise the message names the range
// with the words above.
CLI::Validator WholeNumberIn(long long low, long long high, const std::string& unit = "");
CLI::Validator NumberIn(double low, double high, const std::string& unit = "");
// A check for an option that takes one of a few words: "give stretch or fit".
CLI::Validator OneOf(std::initializer_list<const char*> words);

}  // namespace sorvo::tools
