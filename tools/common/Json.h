// The programs' one way to write JSON: nlohmann's documents, their members kept in the order
// they are added, so that a document reads as it was written (name first, then counts).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace sorvo::tools {

using Json = nlohmann::ordered_json;

// JSON text, on one line (`indent` -1) or indented; text that is not UTF-8 (a file name,
// say) is written with replacement characters rather than refused.
std::string JsonText(const Json& value, int indent = -1);
// Writes `value` indented two spaces, with a final line feed. False with `error` set when
// the file cannot be written.
bool WriteJsonFile(const Json& value, const std::string& path, std::string* error);

}  // namespace sorvo::tools
