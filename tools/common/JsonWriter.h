// Writes JSON text, indented two spaces per level, as values are added in order. Strings
// are escaped as JSON requires (control characters as \u00XX; UTF-8 passes through).
// One thread at a time.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next value inside an object.
  JsonWriter& Key(const std::string& name);
  JsonWriter& String(const std::string& value);
  JsonWriter& Integer(long long value);
  // Not-a-number and infinities are written as null, which JSON can hold.
  JsonWriter& Number(double value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // The text so far, with a final line feed once every object and array is closed.
  std::string Text() const;

 private:
  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);

  std::string m_text;
  // One entry per open object or array: whether it has a member yet.
  std::vector<bool> m_hasMember;
  bool m_afterKey = false;
};

}  // namespace sorvo::tools
