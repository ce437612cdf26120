#include "tools/common/JsonWriter.h"

#include <cmath>
#include <cstdio>

namespace sorvo::tools {

void JsonWriter::BeforeValue() {
  if (m_afterKey) {
    m_afterKey = false;
    return;
  }
  if (m_hasMember.empty()) return;
  if (m_hasMember.back()) m_text += ',';
  m_hasMember.back() = true;
  m_text += '\n';
  m_text.append(2 * m_hasMember.size(), ' ');
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  m_text += bracket;
  m_hasMember.push_back(false);
}

void JsonWriter::Close(char bracket) {
  const bool hadMember = m_hasMember.back();
  m_hasMember.pop_back();
  if (hadMember) {
    m_text += '\n';
    m_text.append(2 * m_hasMember.size(), ' ');
  }
  m_text += bracket;
}

JsonWriter& JsonWriter::BeginObject() {
  Open('{');
  return *this;
}
JsonWriter& JsonWriter::EndObject() {
  Close('}');
  return *this;
}
JsonWriter& JsonWriter::BeginArray() {
  Open('[');
  return *this;
}
JsonWriter& JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& name) {
  String(name);
  m_text += ": ";
  m_afterKey = true;
  return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
  BeforeValue();
  m_text += '"';
  for (const char c : value) {
    switch (c) {
      case '"':
        m_text += "\\\"";
        break;
      case '\\':
        m_text += "\\\\";
        break;
      case '\n':
        m_text += "\\n";
        break;
      case '\t':
        m_text += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
          m_text += escaped;
        } else {
          m_text += c;
        }
    }
  }
  m_text += '"';
  return *this;
}

JsonWriter& JsonWriter::Integer(long long value) {
  BeforeValue();
  m_text += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Number(double value) {
  BeforeValue();
  if (!std::isfinite(value)) {
    m_text += "null";
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", value);
  m_text += text;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  m_text += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  m_text += "null";
  return *this;
}

std::string JsonWriter::Text() const { return m_hasMember.empty() ? m_text + "\n" : m_text; }

}  // namespace sorvo::tools
