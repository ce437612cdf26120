#include "tools/common/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tools/common/TextTable.h"

namespace sorvo::tools {
namespace {

std::string Range(const std::string& what,
                  const std::string& unit,
                  const std::string& low,
                  const std::string& high) {
  return what + (unit.empty() ? "" : " of " + unit) + " from " + low + " to " + high;
}

// The text read whole as a number; false for anything else (trailing text, no digits).
bool ReadWhole(const std::string& text, long long* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
    return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0;
}

bool ReadDecimal(const std::string& text, double* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
    return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return *end == '\0' && errno == 0 && std::isfinite(*value);
}

// What the user typed, as the message shows it: an empty value would vanish.
std::string Shown(const std::string& text) {
  return text.empty() ? "an empty value" : text;
}

// An option that takes one value, given more than once ("--seconds 5 --seconds 9"): which
// one, in words, rather than CLI11's count of arguments. `fallback` when no option is.
std::string RepeatedOptionMessage(const CLI::App& app, const std::string& fallback) {
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_type_size_max() < 1 || option->get_expected_max() != 1 || option->count() < 2)
      continue;
    return option->get_name() + " is given " + std::to_string(option->count()) +
           " times: it takes one value, so give it once";
  }
  return fallback;
}

}  // namespace

std::string FormatNumber(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15)
    return FormatCount(static_cast<long long>(value));
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", value);
  return text;
}

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", app.help().c_str());
    return 0;
  } catch (const CLI::ParseError& error) {
    const std::string name = app.get_name();
    std::string message = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr)
      message = RepeatedOptionMessage(app, message);
    std::fprintf(stderr, "%s: %s\nRun %s --help for the options.\n", name.c_str(), message.c_str(),
                 name.c_str());
    return 2;
  }
  return -1;
}

std::string WholeNumberWords(long long low, long long high, const std::string& unit) {
  return Range("a whole number", unit, FormatCount(low), FormatCount(high));
}

std::string NumberWords(double low, double high, const std::string& unit) {
  return Range("a number", unit, FormatNumber(low), FormatNumber(high));
}

std::string NotAccepted(const std::string& text, const std::string& accepted) {
  return Shown(text) + " is not accepted: give " + accepted;
}

CLI::Validator WholeNumberIn(long long low, long long high, const std::string& unit) {
  const std::string words = WholeNumberWords(low, high, unit);
  return CLI::Validator(
      [low, high, words](std::string& text) {
        long long value = 0;
        if (ReadWhole(text, &value) && value >= low && value <= high)
          return std::string();
        return NotAccepted(text, words);
      },
      "");
}

CLI::Validator NumberIn(double low, double high, const std::string& unit) {
  const std::string words = NumberWords(low, high, unit);
  return CLI::Validator(
      [low, high, words](std::string& text) {
        double value = 0;
        if (ReadDecimal(text, &value) && value >= low && value <= high)
          return std::string();
        return NotAccepted(text, words);
      },
      "");
}

CLI::Validator OneOf(std::initializer_list<const char*> words) {
  const std::vector<std::string> accepted(words.begin(), words.end());
  std::string listed;
  for (size_t i = 0; i < accepted.size(); ++i)
    listed += (i == 0 ? "" : i + 1 == accepted.size() ? " or " : ", ") + accepted[i];
  return CLI::Validator(
      [accepted, listed](std::string& text) {
        for (const std::string& word : accepted)
          if (text == word)
            return std::string();
        return NotAccepted(text, listed);
      },
      "");
}

}  // namespace sorvo::tools
